#!/usr/bin/python3
"""A scripted TCP peer for greetings and replies that no real mail server sends.

Usage: raw_server.py OUTFILE STEP...

Listens on a free 127.0.0.1 port, prints the port on the first line of stdout, accepts one
connection and runs the steps in order; every byte received is appended to OUTFILE.
Steps:
  send:TEXT      send TEXT (backslash escapes such as \\r\\n are decoded)
  line           wait for one line ending in CR LF
  until:TEXT     wait for a line equal to TEXT
  bytes:N        wait until N more bytes have arrived
  sleep:SECONDS  pause
  eof            wait until the client closes its side
  close          close the connection (also done after the last step)
"""
import codecs
import socket
import sys
import time


def main():
    outfile = sys.argv[1]
    steps = sys.argv[2:]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    sys.stdout.write("%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    listener.settimeout(30)
    conn, _ = listener.accept()
    conn.settimeout(30)
    pending = b""
    out = open(outfile, "wb")

    def receive():
        nonlocal pending
        data = conn.recv(65536)
        if not data:
            raise EOFError
        out.write(data)
        out.flush()
        pending += data

    def read_line():
        nonlocal pending
        while b"\r\n" not in pending:
            receive()
        line, pending = pending.split(b"\r\n", 1)
        return line

    try:
        for step in steps:
            kind, _, arg = step.partition(":")
            if kind == "send":
                conn.sendall(codecs.decode(arg, "unicode_escape").encode("latin-1"))
            elif kind == "line":
                read_line()
            elif kind == "until":
                want = arg.encode("latin-1")
                while read_line() != want:
                    pass
            elif kind == "bytes":
                n = int(arg)
                while len(pending) < n:
                    receive()
                pending = pending[n:]
            elif kind == "sleep":
                time.sleep(float(arg))
            elif kind == "eof":
                try:
                    while True:
                        receive()
                except EOFError:
                    pass
            elif kind == "close":
                break
    except (EOFError, ConnectionError, socket.timeout):
        pass
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    conn.close()
    out.close()


if __name__ == "__main__":
    main()
