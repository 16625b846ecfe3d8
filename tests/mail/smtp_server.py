#!/usr/bin/python3
"""A real SMTP server (aiosmtpd) for the mail tests and the benchmark.

Usage: smtp_server.py OUTDIR [--discard]

Listens on a free 127.0.0.1 port and prints the port number on the first line of stdout.
Every accepted message is stored as OUTDIR/msgN.eml (the message bytes as received, after
the transparency dots are removed) with OUTDIR/msgN.env (MAIL FROM, then one recipient per
line); --discard only counts messages. A few addresses trigger refusals that tests need:
  RCPT TO:<refuse...>   550 (the recipient is refused)
  MAIL FROM:<nodata...> the DATA command is refused with 554
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, outdir, discard):
        self.outdir = outdir
        self.discard = discard
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refuse"):
            return "550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if not self.discard:
            base = os.path.join(self.outdir, "msg%d" % self.count)
            with open(base + ".env", "w") as f:
                f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
            with open(base + ".tmp", "wb") as f:
                f.write(envelope.original_content or envelope.content)
            os.rename(base + ".tmp", base + ".eml")
        return "250 Message accepted for delivery"


class TestSMTP(SMTP):
    async def smtp_DATA(self, arg):
        mail_from = self.envelope.mail_from or ""
        if mail_from.startswith("nodata"):
            await self.push("554 5.7.1 Transaction refused")
            return
        await super().smtp_DATA(arg)


async def main():
    outdir = sys.argv[1]
    discard = "--discard" in sys.argv[2:]
    handler = Handler(outdir, discard)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: TestSMTP(handler, data_size_limit=None, hostname="quillon.test"),
        "127.0.0.1", 0)
    sys.stdout.write("%d\n" % server.sockets[0].getsockname()[1])
    sys.stdout.flush()
    await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
