"""The measuring side of bench/smtp_compare.sh.  Every mode prints one line
of key=value pairs (a failure: error=... last) and waits for the server's
mail file to hold what was sent, so a rate covers delivery, not only the
SMTP replies.

    smtp_client.py greet PORT
        the server's greeting (fails when it sends none within 2 s)
    smtp_client.py check PORT RECIPIENT MAILFILE TIMEOUT
        one short message through smtplib (EHLO, and HELO when EHLO is
        refused); ok=1 once the mail file holds it
    smtp_client.py many MAILFILE COUNT TIMEOUT -- COMMAND...
        runs COMMAND (smtp-source), then waits until the mail file holds
        COUNT messages; rate = messages per second from COMMAND's start
        to that moment
    smtp_client.py big PORT RECIPIENT MAILFILE BYTES TIMEOUT
        one message of about BYTES bytes in lines of 76 characters; rate =
        MB/s (10^6 bytes) of the text sent between the DATA command and
        the reply after its closing dot; then waits until every line of it
        is in the mail file (delivered = seconds from DATA to that moment)

The mail files are mbox files: a message begins with a line that starts
with "From ".  They are read from where they ended when a mode started.
"""
import os
import smtplib
import socket
import subprocess
import sys
import time

SENDER = "bench@bench.test"
# what every line of the large message carries after its number; no server
# rewrites it, so counting it in the mail file counts the lines delivered
FILL = b"-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefg"  # 67 + 8 + 1 = 76


def out(**kv):
    error = kv.pop("error", None)
    text = " ".join("%s=%s" % kv_ for kv_ in kv.items())
    if error is not None:
        text += " error=" + str(error).replace("\n", " ")[:300]
    print(text.strip(), flush=True)


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


class MessageCounter:
    """Counts the "From " lines added to a mail file after `start`, reading
    only what it has not read yet (whole lines)."""

    def __init__(self, path, start):
        self.path, self.pos, self.count = path, start, 0

    def update(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except OSError:
            return self.count
        end = data.rfind(b"\n")
        if end < 0:
            return self.count
        block = data[:end + 1]
        # self.pos is always the start of a line
        self.count += block.count(b"\nFrom ") + block.startswith(b"From ")
        self.pos += end + 1
        return self.count


def read_from(path, start):
    try:
        with open(path, "rb") as f:
            f.seek(start)
            return f.read()
    except OSError:
        return b""


def greet(port):
    with socket.create_connection(("127.0.0.1", int(port)), timeout=2) as s:
        line = s.makefile("rb").readline(1024)
    if not line:
        sys.exit(1)
    print(line.decode("latin-1").strip())


def check(port, recipient, path, timeout):
    start = size_of(path)
    token = "check-%d-%d" % (os.getpid(), time.time_ns())
    text = ("From: <%s>\r\nTo: <%s>\r\nSubject: %s\r\n\r\nOne line.\r\n.starts with a dot\r\n"
            % (SENDER, recipient, token))
    try:
        with smtplib.SMTP("127.0.0.1", int(port), timeout=timeout) as c:
            code, _ = c.ehlo()
            greeting = "ehlo" if code == 250 else "helo"
            if code != 250:
                code, reply = c.helo()
                if code != 250:
                    return out(ok=0, error="HELO refused: %d %s" % (code, reply))
            c.sendmail(SENDER, [recipient], text)
    except (OSError, smtplib.SMTPException) as e:
        return out(ok=0, error="%s: %s" % (type(e).__name__, e))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        added = read_from(path, start)
        if token.encode() in added and b"\n..starts" not in added and b"\n.starts with a dot" in added:
            return out(ok=1, greeting=greeting)
        time.sleep(0.05)
    return out(ok=0, greeting=greeting, error="the message is not (whole, dot removed) in %s after %s s" % (path, timeout))


def many(path, count, timeout, command):
    counter = MessageCounter(path, size_of(path))
    t0 = time.monotonic()
    try:
        run = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout)
    except subprocess.TimeoutExpired:
        return out(rate="", errors=1, error="%s did not end within %s s" % (command[0], timeout))
    sent = time.monotonic() - t0
    if run.returncode != 0:
        err = run.stderr.decode("latin-1", "replace").strip()
        return out(rate="", errors=1, error="%s exited %d: %s" % (command[0], run.returncode, err))
    deadline = t0 + timeout
    while counter.update() < count and time.monotonic() < deadline:
        time.sleep(0.01)
    total = time.monotonic() - t0
    if counter.count != count:
        return out(rate="", seconds="%.3f" % total, delivered=counter.count, errors=1,
                   error="%d of %d messages in the mail file after %s s" % (counter.count, count, timeout))
    out(rate="%.1f" % (count / total), seconds="%.3f" % total, source_seconds="%.3f" % sent,
        delivered=count, errors=0)


def big_message(recipient, size):
    head = ("From: <%s>\r\nTo: <%s>\r\nSubject: large message\r\n\r\n" % (SENDER, recipient)).encode()
    lines = max(1, (size - len(head)) // (len(FILL) + 10))
    body = b"".join(b"%08d" % i + FILL + b"\r\n" for i in range(lines))
    return head + body, lines


def big(port, recipient, path, size, timeout):
    text, lines = big_message(recipient, size)
    start = size_of(path)
    try:
        with smtplib.SMTP("127.0.0.1", int(port), timeout=timeout) as c:
            c.ehlo_or_helo_if_needed()
            code, reply = c.mail(SENDER)
            if code != 250:
                return out(rate="", errors=1, error="MAIL FROM: %d %s" % (code, reply))
            code, reply = c.rcpt(recipient)
            if code not in (250, 251):
                return out(rate="", errors=1, error="RCPT TO: %d %s" % (code, reply))
            # the text is sent as it is (no line starts with a dot), with
            # the closing dot: the client's own work is not measured
            t0 = time.monotonic()
            c.putcmd("data")
            code, reply = c.getreply()
            if code != 354:
                return out(rate="", errors=1, error="DATA: %d %s" % (code, reply))
            c.sock.sendall(text + b".\r\n")
            code, reply = c.getreply()
            took = time.monotonic() - t0
            if code != 250:
                return out(rate="", errors=1, error="after the text: %d %s" % (code, reply))
    except (OSError, smtplib.SMTPException) as e:
        return out(rate="", errors=1, error="%s: %s" % (type(e).__name__, e))
    deadline = t0 + timeout
    found, added = 0, b""
    while time.monotonic() < deadline:
        added = read_from(path, start)
        found = added.count(FILL)
        if found >= lines and b"%08d" % (lines - 1) + FILL in added:
            break
        time.sleep(0.02)
    delivered = time.monotonic() - t0
    if found != lines:
        return out(rate="", seconds="%.3f" % took, errors=1,
                   error="%d of %d lines in the mail file after %s s" % (found, lines, timeout))
    out(rate="%.1f" % (len(text) / took / 1e6), seconds="%.3f" % took, bytes=len(text),
        delivered="%.3f" % delivered, stored=len(added), errors=0)


def main(argv):
    mode, args = argv[1], argv[2:]
    if mode == "greet":
        greet(args[0])
    elif mode == "check":
        check(args[0], args[1], args[2], float(args[3]))
    elif mode == "many":
        split = args.index("--")
        many(args[0], int(args[1]), float(args[2]), args[split + 1:])
    elif mode == "big":
        big(args[0], args[1], args[2], int(args[3]), float(args[4]))
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main(sys.argv)
