#!/usr/bin/env python3
"""End-to-end tests of the SMTP server with real clients.

Starts `qvx32 -debug` with a mail server of its own (temporary settings,
runtime, temp and mail folders, a free port on 127.0.0.1), sends with
Python's smtplib and curl, and reads the mail files back with Python's
mailbox.mbox. The path of qvx32 comes from the environment variable QVX32
or the first argument; the server's console output is kept in the artefact
folder ($QV_E2E_ARTIFACTS, else tests/e2e/artifacts in the build folder
that holds qvx32).

Standard library only; needs the program curl.
"""
import configparser
import glob
import mailbox
import os
import smtplib
import subprocess
import sys
import threading
import time
import unittest

from qvx32_process import Qvx32Process, run_tests, start_server, stop_server, write

SMTP_TIMEOUT = 30
QVX32 = None
ARTIFACTS = None
SERVER = None

# Lines that a careless server would change: dots (stuffed by the client),
# a "From " line (quoted in the mail file, which mbox readers keep), 8-bit
# bytes and a line near the 998-character limit.
BODY_LINES = [b".", b"..x", b".hidden", b"From me", b"quit", b"8-bit: \xc3\xa9\xff\x80", b"L" * 990, b""]


def message(subject, sender="sender@far.test", to="alice@example.test"):
    head = f"From: {sender}\r\nTo: {to}\r\nSubject: {subject}\r\n\r\n".encode()
    return head + b"\r\n".join(BODY_LINES) + b"\r\n"


def as_stored(data):
    """What an mbox reader gives back for a message sent as `data`."""
    lines = data.split(b"\r\n")
    return b"\n".join(b">" + line if line.startswith(b"From ") else line for line in lines)


class Server(Qvx32Process):
    greets = True

    def __init__(self, program, log_path):
        super().__init__(program, log_path, "qv-smtp-e2e-")

    def make_site(self):
        self.mail = os.path.join(self.root, "mail")
        os.makedirs(self.mail)
        write(os.path.join(self.root, "etc", "qvx_mail.ini"),
              "[mail domains]\nexample.test=yes\n\n"
              f"[mail files]\nalice={self.mail}/alice\nbob={self.mail}/bob\n"
              f"crowd={self.mail}/crowd\nlost={self.mail}/no-such-folder/lost\n")

    def settings(self):
        r = self.root
        return (f"[Options]\nhostname=mail.test\nlogdir={r}/logs/\ntempdir={r}/temp/\n"
                f"[Multi]\nserver1=mail\nip1=127.0.0.1\nport1={self.port}\nserver2=none\n")

    def messages(self, user):
        """(bytes, subject, sender of the From line) of every message in
        the user's mail file, read as mbox readers read it."""
        box = mailbox.mbox(os.path.join(self.mail, user), create=False)
        try:
            return [(box.get_bytes(k), box[k]["Subject"], box[k].get_from().split()[0]) for k in box.keys()]
        finally:
            box.close()

    def control_files(self):
        files = []
        for path in glob.glob(os.path.join(self.root, "temp", "mcf*")):
            parser = configparser.ConfigParser(interpolation=None)
            parser.optionxform = str
            parser.read(path)
            files.append(parser)
        return files

    def clear(self):
        for path in glob.glob(os.path.join(self.mail, "*")):
            if os.path.isfile(path):
                os.remove(path)
        for path in glob.glob(os.path.join(self.root, "temp", "*")):
            os.remove(path)


def setUpModule():
    global SERVER
    SERVER = start_server(Server, QVX32, ARTIFACTS, "qvx32-smtp-debug.log", ("curl",))


def tearDownModule():
    if SERVER is not None:
        stop_server(SERVER)


def connect():
    return smtplib.SMTP("127.0.0.1", SERVER.port, timeout=SMTP_TIMEOUT)


class SmtpLib(unittest.TestCase):
    def setUp(self):
        SERVER.clear()

    def test_local_recipients_get_the_message_byte_for_byte(self):
        data = message("three recipients")
        with connect() as smtp:
            refused = smtp.sendmail("sender@far.test", ["alice@example.test", "carol@far.test", "bob@example.test"],
                                    data)
        self.assertEqual(list(refused), ["carol@far.test"])
        self.assertEqual(refused["carol@far.test"][0], 551)
        for user in ("alice", "bob"):
            self.assertEqual(SERVER.messages(user), [(as_stored(data), "three recipients", "sender@far.test")])
        (control,) = SERVER.control_files()
        self.assertEqual(control["Mail Info"]["ToCount"], "2")
        self.assertEqual(dict(control["Mail Status"]), {"To1": "Sent", "To2": "Sent"})

    def test_refusals(self):
        with connect() as smtp:
            self.assertEqual(smtp.ehlo()[0], 500)
            self.assertEqual(smtp.helo()[0], 250)
            self.assertEqual(smtp.mail("sender@far.test")[0], 250)
            self.assertEqual(smtp.rcpt("nobody@example.test")[0], 550)
            # The mail file's folder is missing: refused for now, not lost later.
            self.assertEqual(smtp.rcpt("lost@example.test")[0], 450)
            self.assertEqual(smtp.rset()[0], 250)
            with self.assertRaises(smtplib.SMTPRecipientsRefused):
                smtp.sendmail("sender@far.test", ["nobody@example.test"], message("x"))
        self.assertFalse(os.path.exists(os.path.join(SERVER.mail, "alice")))

    # A mail reader holding the mailbox's lock holds the delivery back; the
    # reply waits for it.
    def test_delivery_waits_for_a_readers_lock(self):
        write(os.path.join(SERVER.mail, "alice"), b"")
        box = mailbox.mbox(os.path.join(SERVER.mail, "alice"), create=False)
        box.lock()
        done = []

        def send():
            with connect() as smtp:
                done.append(smtp.sendmail("sender@far.test", ["alice@example.test"], message("locked")))

        sender = threading.Thread(target=send)
        sender.start()
        time.sleep(0.5)
        self.assertEqual(done, [])
        box.unlock()
        box.close()
        sender.join(SMTP_TIMEOUT)
        self.assertEqual(done, [{}])
        self.assertEqual(len(SERVER.messages("alice")), 1)

    def test_concurrent_senders_to_one_mailbox(self):
        threads, messages = 16, 50
        failures = []

        def send(t):
            try:
                with connect() as smtp:
                    for m in range(messages):
                        smtp.sendmail(f"t{t}@far.test", ["crowd@example.test"],
                                      message(f"{t}/{m}", f"t{t}@far.test"))
            except (OSError, smtplib.SMTPException) as e:
                failures.append(e)

        workers = [threading.Thread(target=send, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join(120)
        self.assertEqual(failures, [])
        subjects = []
        for data, subject, sender in SERVER.messages("crowd"):
            self.assertEqual(data, as_stored(message(subject, sender)))
            self.assertEqual(sender, f"t{subject.split('/')[0]}@far.test")
            subjects.append(subject)
        self.assertEqual(sorted(subjects), sorted(f"{t}/{m}" for t in range(threads) for m in range(messages)))


class Curl(unittest.TestCase):
    def setUp(self):
        SERVER.clear()

    def test_send_a_file(self):
        data = message("by curl", to="bob@example.test")
        done = subprocess.run(["curl", "-sS", "--max-time", "30", f"smtp://127.0.0.1:{SERVER.port}",
                               "--mail-from", "sender@far.test", "--mail-rcpt", "bob@example.test", "-T", "-"],
                              input=data, capture_output=True, timeout=40)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(SERVER.messages("bob"), [(as_stored(data), "by curl", "sender@far.test")])

    def test_remote_recipient_is_refused(self):
        done = subprocess.run(["curl", "-sS", "--max-time", "30", f"smtp://127.0.0.1:{SERVER.port}",
                               "--mail-from", "sender@far.test", "--mail-rcpt", "carol@far.test", "-T", "-"],
                              input=message("x"), capture_output=True, timeout=40)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(b"551", done.stderr)


if __name__ == "__main__":
    run_tests(sys.modules[__name__])
