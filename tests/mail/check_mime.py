#!/usr/bin/python3
"""Parses a stored message with Python's email package and reports its structure.

Usage: check_mime.py MESSAGE OUTDIR

Prints "key value" lines: content-type, boundary, subject, date, comments, bcc, parts; then
one "part N content-type filename" line per leaf part, writing each part's decoded bytes to
OUTDIR/partN.bin.
"""
import email
import email.policy
import os
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    outdir = sys.argv[2]
    print("content-type", msg.get_content_type())
    print("boundary", msg.get_boundary() or "-")
    print("subject", msg.get("Subject", "-"))
    print("date", msg.get("Date", "-"))
    print("comments", msg.get("Comments", "-"))
    print("bcc", msg.get("Bcc", "-"))
    print("defects", len(msg.defects))
    parts = [p for p in msg.walk() if not p.is_multipart()]
    print("parts", len(parts))
    for i, part in enumerate(parts):
        payload = part.get_payload(decode=True) or b""
        with open(os.path.join(outdir, "part%d.bin" % i), "wb") as f:
            f.write(payload)
        print("part", i, part.get_content_type(), part.get_filename() or "-")


if __name__ == "__main__":
    main()
