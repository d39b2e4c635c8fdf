"""The floor of bench/smtp_compare.sh: aiosmtpd (Debian's python3-aiosmtpd)
on one 127.0.0.1 port, appending every message it accepts to one mail file
in mbox form (a "From " line first, lines of the text that start with
"From " quoted as ">From ", an empty line after it) without any fsync, so
that the script counts its messages the way it counts the other servers'.
Runs in the foreground until SIGTERM.

    python3 sink.py PORT MAILFILE
"""
import asyncio
import re
import signal
import sys
import time

from aiosmtpd.smtp import SMTP

FROM_LINE = re.compile(rb"^From ", re.M)


class MailFile:
    def __init__(self, path):
        self.path = path

    async def handle_DATA(self, server, session, envelope):
        text = envelope.original_content.replace(b"\r\n", b"\n")
        if not text.endswith(b"\n"):
            text += b"\n"
        head = "From %s %s\n" % (envelope.mail_from or "MAILER-DAEMON", time.asctime())
        # opened per message, like the others: the script empties the file between runs
        with open(self.path, "ab") as f:
            f.write(head.encode() + FROM_LINE.sub(b">From ", text) + b"\n")
        return "250 OK"


def main():
    port, path = int(sys.argv[1]), sys.argv[2]
    handler = MailFile(path)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    # 32 MiB: room for the large message
    server = loop.run_until_complete(loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", data_size_limit=32 << 20, loop=loop),
        "127.0.0.1", port, backlog=128))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
