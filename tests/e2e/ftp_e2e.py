#!/usr/bin/env python3
"""End-to-end tests of the FTP server with real clients.

Starts `qvx32 -debug` on a site of its own (temporary settings, runtime,
log and FTP root folders, a free port on 127.0.0.1) and drives it with
Python's ftplib, curl and lftp. The path of qvx32 comes from the environment
variable QVX32 or the first argument. The server's console output and
lftp's trace are kept in the artefact folder: $QV_E2E_ARTIFACTS, else
tests/e2e/artifacts in the build folder that holds qvx32.

Standard library only; needs the programs curl and lftp.
"""
import ftplib
import hashlib
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from qvx32_process import Qvx32Process, run_tests, start_server, stop_server, write

GREETING = "220 XXXHOSTX FTP server (Quorvane Version 1.0 DAY MON D HH:MM:SS CDT 199X) ready."
LOGGED_IN = "230 Guest login ok, access restrictions apply."
# ann: a home folder of her own, confined to it, with the right to write there.
USER, PASSWORD = "ann", "Pw-e2e-7391-ann"
HOME = "/home/ann"
# bob: no home folder and no write rights anywhere.
READER, READER_PASSWORD = "bob", "Pw-e2e-5820-bob"
WRONG_PASSWORD = "Wrong-e2e-4410"

FTP_TIMEOUT = 15     # seconds for one control or data socket operation of ftplib
CURL_TIMEOUT = 30    # curl --max-time; the process gets 10 more
LFTP_TIMEOUT = 120   # one whole lftp run

QVX32 = None      # path of the program under test
ARTIFACTS = None  # folder for logs
SERVER = None     # the running server (Server)

HELLO = b"Hello over FTP.\r\nSecond line\n"
ALL_BYTES = bytes(range(256)) * 1024 + b"\x00\r\n\x1a\xff end"   # a little over 256 kB
SMALL = b"small file\n"
BLANK_NAME = "Read me now.txt"
BLANK_TEXT = b"a name with blanks\n"

# 2026-12-06 12:00 local time, given to the files the listing test shows.
LISTED_TIME = time.mktime((2026, 12, 6, 12, 0, 0, 0, 0, -1))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_sha256(path):
    with open(path, "rb") as f:
        return sha256(f.read())


# ----------------------------------------------------------------------------
# The server


class Server(Qvx32Process):
    """qvx32 -debug serving FTP from a temporary folder."""

    greets = True

    def __init__(self, program, log_path):
        self.ftp_root = None
        super().__init__(program, log_path, "qv-ftp-e2e-")

    def path(self, virtual):
        """The file behind a path of the FTP root."""
        return os.path.join(self.ftp_root, virtual.lstrip("/"))

    def make_site(self):
        self.ftp_root = os.path.join(self.root, "ftp")
        pub = self.path("pub")
        write(f"{pub}/hello.txt", HELLO)
        write(f"{pub}/data.bin", ALL_BYTES)
        write(f"{pub}/small.txt", SMALL)
        write(f"{pub}/{BLANK_NAME}", BLANK_TEXT)
        os.makedirs(f"{pub}/docs")
        for name in ("hello.txt", "data.bin", "small.txt", BLANK_NAME, "docs"):
            os.utime(f"{pub}/{name}", (LISTED_TIME, LISTED_TIME))
        os.makedirs(self.path(HOME))

    def settings(self):
        r = self.root
        return (
            "[Options]\n"
            "hostname=localhost\n"
            f"logdir={r}/logs/\n"
            f"tempdir={r}/temp/\n"
            f"ftpdir={self.ftp_root}/\n"
            "max_upload_mb=8\n"
            "ftp_read_timeout=60\n"
            "view_connects=1\n"
            "\n[Multi]\n"
            "server1=ftp\n"
            "ip1=127.0.0.1\n"
            f"port1={self.port}\n"
            f"dir1={self.ftp_root}/\n"
            "server2=none\n"
            "\n[Users]\n"
            f"User1={USER} {PASSWORD}\n"
            f"FTPDir1={HOME}\n"
            "FTPRestrict1=1\n"
            "FTPDirWrite1=1\n"
            f"User2={READER} {READER_PASSWORD}\n")

    def url(self, path):
        return f"ftp://127.0.0.1:{self.port}{path}"


def setUpModule():
    global SERVER
    SERVER = start_server(Server, QVX32, ARTIFACTS, "qvx32-ftp-debug.log", ("curl", "lftp"))
    print(f"qvx32 {QVX32} serving FTP from {SERVER.ftp_root} on port {SERVER.port}", file=sys.stderr)


def tearDownModule():
    if SERVER is None:
        return
    stop_server(SERVER)
    output = SERVER.output()
    # Every client of every test logged in with these: none may show.
    leaked = [p for p in (PASSWORD, READER_PASSWORD, WRONG_PASSWORD) if p in output]
    if leaked:
        raise AssertionError(f"passwords {leaked} in the console output {SERVER.log_path}")


# ----------------------------------------------------------------------------
# ftplib


def connect():
    ftp = ftplib.FTP(timeout=FTP_TIMEOUT)
    greeting = ftp.connect("127.0.0.1", SERVER.port)
    if greeting != GREETING:
        raise AssertionError(f"greeting {greeting!r}")
    return ftp


def login(user, password):
    ftp = connect()
    try:
        reply = ftp.login(user, password)
    except BaseException:
        ftp.close()
        raise
    if reply != LOGGED_IN:
        ftp.close()
        raise AssertionError(f"login of {user}: {reply!r}")
    return ftp


def download(ftp, name):
    chunks = []
    reply = ftp.retrbinary(f"RETR {name}", chunks.append)
    if reply != "226 Transfer complete.":
        raise AssertionError(f"RETR {name}: {reply!r}")
    return b"".join(chunks)


def upload(ftp, name, data):
    return ftp.storbinary(f"STOR {name}", io.BytesIO(data))


class Logins(unittest.TestCase):
    def test_anonymous_with_any_ident(self):
        for user, ident in (("anonymous", "someone@example.org"), ("ANONYMOUS", "x"), ("Anonymous", "-")):
            with login(user, ident) as ftp:
                self.assertEqual(ftp.pwd(), "/")
                self.assertEqual(download(ftp, "pub/hello.txt"), HELLO)
                self.assertEqual(ftp.quit(), "221 Goodbye.")

    def test_named_user_starts_in_home(self):
        with login(USER, PASSWORD) as ftp:
            self.assertEqual(ftp.pwd(), HOME)
            # Confined: "/" is the home's own root.
            ftp.cwd("/")
            self.assertEqual(ftp.pwd(), HOME)
        with login(READER, READER_PASSWORD) as ftp:
            self.assertEqual(ftp.pwd(), "/")
            self.assertEqual(download(ftp, "/pub/small.txt"), SMALL)

    def test_wrong_password_is_530_and_the_session_may_try_again(self):
        with connect() as ftp:
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.login(USER, WRONG_PASSWORD)
            self.assertEqual(str(caught.exception), "530 Login incorrect.")
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.pwd()
            self.assertEqual(str(caught.exception), "530 Please login with USER and PASS.")
            self.assertEqual(ftp.login(USER, PASSWORD), LOGGED_IN)
            self.assertEqual(ftp.pwd(), HOME)
        # A known name with another's password fails too.
        with connect() as ftp:
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.login(READER, PASSWORD)
            self.assertEqual(str(caught.exception), "530 Login incorrect.")

    def test_console_shows_pass_masked(self):
        with connect() as ftp:
            with self.assertRaises(ftplib.error_perm):
                ftp.login(READER, WRONG_PASSWORD)
        with login(READER, READER_PASSWORD):
            pass
        deadline = time.monotonic() + 5
        while "'PASS ****'" not in SERVER.output() and time.monotonic() < deadline:
            time.sleep(0.1)
        output = SERVER.output()
        self.assertIn("'PASS ****'", output)
        for password in (READER_PASSWORD, WRONG_PASSWORD):
            self.assertNotIn(password, output)


class Commands(unittest.TestCase):
    def test_listing_lines(self):
        with login("anonymous", "lister@example.org") as ftp:
            ftp.cwd("pub")
            lines = []
            self.assertEqual(ftp.retrlines("LIST", lines.append), "226 Transfer complete.")
        self.assertEqual(lines, [
            "total 5",
            f"-rw-r--r--   1 root     system    {len(ALL_BYTES):6} Dec  6 2026  data.bin",
            "drw-r--r--   1 root     system         0 Dec  6 2026  docs",
            f"-rw-r--r--   1 root     system        {len(HELLO)} Dec  6 2026  hello.txt",
            f"-rw-r--r--   1 root     system        {len(BLANK_TEXT)} Dec  6 2026  {BLANK_NAME}",
            f"-rw-r--r--   1 root     system        {len(SMALL)} Dec  6 2026  small.txt",
        ])

    def test_empty_folder_lists_nothing(self):
        with login("anonymous", "x") as ftp:
            ftp.cwd("/pub/docs")
            lines = []
            self.assertEqual(ftp.retrlines("LIST", lines.append), "226 Transfer complete.")
            self.assertEqual(lines, [])

    def test_commands_answered_as_not_implemented(self):
        with login(USER, PASSWORD) as ftp:
            upload(ftp, "exists.txt", SMALL)
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.nlst()
            self.assertEqual(str(caught.exception), "502 NLST command not implemented.")
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.storbinary("APPE exists.txt", io.BytesIO(b"more"))
            self.assertEqual(str(caught.exception), "502 APPE command not implemented.")
            with self.assertRaises(ftplib.error_perm) as caught:
                ftp.sendcmd("STOU")
            self.assertEqual(str(caught.exception), "500 'STOU': command not understood.")
            # Nothing was appended and the session goes on.
            self.assertEqual(ftp.voidcmd("NOOP"), "200 NOOP command successful.")
            self.assertEqual(download(ftp, "exists.txt"), SMALL)
            ftp.delete("exists.txt")

    def test_missing_file_is_refused_before_any_transfer(self):
        with login("anonymous", "x") as ftp:
            with self.assertRaises(ftplib.error_perm) as caught:
                download(ftp, "pub/missing.txt")
            self.assertEqual(str(caught.exception), "550 xxx: Size < 0.")
            self.assertEqual(download(ftp, "pub/small.txt"), SMALL)

    def test_many_retrievals_each_with_a_fresh_passive_port(self):
        ports = set()
        started = time.monotonic()
        with login("anonymous", "x") as ftp:
            ftp.voidcmd("TYPE I")
            for i in range(300):
                reply = ftp.sendcmd("PASV")
                host, port = ftplib.parse227(reply)
                self.assertEqual(host, "127.0.0.1")
                ports.add(port)
                with socket.create_connection((host, port), timeout=FTP_TIMEOUT) as data:
                    self.assertEqual(ftp.sendcmd("RETR pub/small.txt"),
                                     "150 Opening data connection for XXX (XXX bytes).")
                    received = b""
                    while chunk := data.recv(65536):
                        received += chunk
                self.assertEqual(ftp.voidresp(), "226 Transfer complete.", f"retrieval {i}")
                self.assertEqual(received, SMALL, f"retrieval {i}")
        self.assertGreater(len(ports), 1)
        self.assertLess(time.monotonic() - started, 120)

    def test_sessions_side_by_side(self):
        """Eight sessions at once, each reading the shared file and storing
        and reading back one of its own."""
        failures = []

        def session(n):
            try:
                mine = bytes([n]) * 1000 + ALL_BYTES[n * 1000:]
                with login(USER, PASSWORD) as ftp:
                    for _ in range(5):
                        if download(ftp, "/shared.bin") != ALL_BYTES:
                            failures.append(f"session {n}: shared.bin differs")
                        upload(ftp, f"side{n}.bin", mine)
                        if download(ftp, f"side{n}.bin") != mine:
                            failures.append(f"session {n}: side{n}.bin differs")
                    ftp.delete(f"side{n}.bin")
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(f"session {n}: {e!r}")

        with login(USER, PASSWORD) as ftp:
            upload(ftp, "shared.bin", ALL_BYTES)
        threads = [threading.Thread(target=session, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        self.assertFalse([t for t in threads if t.is_alive()], "sessions still running")
        self.assertEqual(failures, [])
        with login(USER, PASSWORD) as ftp:
            ftp.delete("shared.bin")
        self.assertEqual(os.listdir(SERVER.path(HOME)), [])


class NamedUserWrites(unittest.TestCase):
    """ann changes files in her home; what she stores is what is on disk
    and what comes back."""

    def setUp(self):
        self.ftp = login(USER, PASSWORD)
        self.home = SERVER.path(HOME)

    def tearDown(self):
        self.ftp.close()

    def assert_round_trip(self, name, data, folder=""):
        self.assertEqual(upload(self.ftp, name, data), "226 Transfer complete.")
        self.assertEqual(file_sha256(os.path.join(self.home, folder, name)), sha256(data), name)
        self.assertEqual(sha256(download(self.ftp, name)), sha256(data), name)
        self.assertEqual(self.ftp.size(name), len(data))

    def test_store_and_retrieve(self):
        self.assert_round_trip("all-bytes.bin", ALL_BYTES)
        self.assert_round_trip("empty.txt", b"")
        self.assert_round_trip("a name with blanks.txt", BLANK_TEXT)
        # A second STOR replaces the file whole.
        self.assert_round_trip("all-bytes.bin", SMALL)
        lines = []
        self.ftp.retrlines("LIST", lines.append)
        names = [re.match(r"[-d]rw-r--r--   1 root     system +\d+ \w{3} [ \d]\d \d{4}  (.*)$", line).group(1)
                 for line in lines[1:]]
        for name in ("all-bytes.bin", "empty.txt", "a name with blanks.txt"):
            self.assertIn(name, names, lines)
        # No half-written work files are left to see.
        self.assertFalse([n for n in os.listdir(self.home) if n.startswith(".")], os.listdir(self.home))
        for name in ("all-bytes.bin", "empty.txt", "a name with blanks.txt"):
            self.assertTrue(self.ftp.delete(name).startswith("250 "))
            self.assertFalse(os.path.exists(os.path.join(self.home, name)))

    def test_delete_answers_250(self):
        upload(self.ftp, "gone.txt", SMALL)
        reply = self.ftp.delete("gone.txt")
        self.assertTrue(reply.startswith(f"250 File {HOME}/gone.txt ["), reply)
        with self.assertRaises(ftplib.error_perm) as caught:
            self.ftp.delete("gone.txt")
        self.assertTrue(str(caught.exception).startswith("550 Unable to delete file"), caught.exception)

    def test_rename(self):
        upload(self.ftp, "first name.txt", HELLO)
        upload(self.ftp, "taken.txt", SMALL)
        self.assertEqual(self.ftp.rename("first name.txt", "second name.txt"), "250 RNTO command successful.")
        self.assertEqual(download(self.ftp, "second name.txt"), HELLO)
        self.assertFalse(os.path.exists(os.path.join(self.home, "first name.txt")))
        # Never onto a file that exists.
        with self.assertRaises(ftplib.error_perm) as caught:
            self.ftp.rename("second name.txt", "taken.txt")
        self.assertEqual(str(caught.exception), "550 xxx: File already exists.  Size > 0.")
        self.assertEqual(download(self.ftp, "taken.txt"), SMALL)
        self.ftp.delete("second name.txt")
        self.ftp.delete("taken.txt")

    def test_folders(self):
        self.ftp.mkd("new folder")
        self.assertTrue(os.path.isdir(os.path.join(self.home, "new folder")))
        with self.assertRaises(ftplib.error_perm) as caught:
            self.ftp.mkd("new folder")
        self.assertEqual(str(caught.exception), "500 MKD Error creating directory.")
        self.ftp.cwd("new folder")
        self.assertEqual(self.ftp.pwd(), f"{HOME}/new folder")
        self.assert_round_trip("inner.bin", ALL_BYTES, "new folder")
        self.ftp.cwd("..")
        self.assertEqual(self.ftp.pwd(), HOME)
        # A folder that holds a file stays.
        with self.assertRaises(ftplib.error_perm) as caught:
            self.ftp.rmd("new folder")
        self.assertEqual(str(caught.exception), "500 RMD Error removing directory.")
        self.ftp.delete("new folder/inner.bin")
        self.assertEqual(self.ftp.rmd("new folder"), "250 RMD command successful.")
        self.assertFalse(os.path.exists(os.path.join(self.home, "new folder")))

    def test_paths_outside_home_come_back_into_it(self):
        # "/pub/hello.txt" is taken as relative to the home, where there is none.
        with self.assertRaises(ftplib.error_perm):
            download(self.ftp, "/pub/hello.txt")
        upload(self.ftp, "/pub.txt", SMALL)
        self.assertEqual(file_sha256(os.path.join(self.home, "pub.txt")), sha256(SMALL))
        self.ftp.delete("pub.txt")


class AnonymousIsReadOnly(unittest.TestCase):
    REFUSED = "550 Error anonymous users cannot do that."

    def test_no_changes(self):
        with login("anonymous", "x") as ftp:
            with self.assertRaises(ftplib.error_perm) as caught:
                upload(ftp, "pub/new.txt", SMALL)
            self.assertEqual(str(caught.exception), self.REFUSED)
            for call in (lambda: ftp.delete("pub/small.txt"), lambda: ftp.mkd("pub/x"),
                         lambda: ftp.rmd("pub/docs"), lambda: ftp.rename("pub/small.txt", "pub/y.txt")):
                with self.assertRaises(ftplib.error_perm) as caught:
                    call()
                self.assertEqual(str(caught.exception), self.REFUSED)
            self.assertEqual(download(ftp, "pub/small.txt"), SMALL)
        self.assertEqual(sorted(os.listdir(SERVER.path("pub"))),
                         sorted(["hello.txt", "data.bin", "small.txt", BLANK_NAME, "docs"]))


# ----------------------------------------------------------------------------
# curl


def run_curl(*args):
    """curl's exit code and its -v trace."""
    done = subprocess.run(["curl", "-sS", "-v", "--max-time", str(CURL_TIMEOUT), *args],
                          capture_output=True, timeout=CURL_TIMEOUT + 10)
    return done.returncode, done.stderr.decode(errors="replace")


class Curl(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qv-ftp-curl-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_passive_download(self):
        out = os.path.join(self.work, "data.bin")
        code, trace = run_curl(SERVER.url("/pub/data.bin"), "-o", out)
        self.assertEqual(code, 0, trace)
        self.assertEqual(file_sha256(out), sha256(ALL_BYTES))

    def test_missing_file_fails(self):
        out = os.path.join(self.work, "missing.txt")
        code, trace = run_curl(SERVER.url("/pub/missing.txt"), "-o", out)
        self.assertNotEqual(code, 0, f"curl reported success for a missing file:\n{trace}")
        self.assertIn("< 550 ", trace)
        self.assertFalse(os.path.exists(out))

    def test_upload_where_writing_is_not_allowed_fails(self):
        src = os.path.join(self.work, "up.txt")
        write(src, SMALL)
        for account in (f"{READER}:{READER_PASSWORD}", "anonymous:curl@example.org"):
            code, trace = run_curl("-T", src, "-u", account, SERVER.url("/pub/up.txt"))
            self.assertNotEqual(code, 0, f"curl reported success for a refused upload:\n{trace}")
            self.assertIn("< 550 Error ", trace)
            self.assertFalse(os.path.exists(SERVER.path("pub/up.txt")))

    def test_upload_into_home(self):
        src = os.path.join(self.work, "up.bin")
        write(src, ALL_BYTES)
        code, trace = run_curl("-T", src, "-u", f"{USER}:{PASSWORD}", SERVER.url("/curl-up.bin"))
        self.assertEqual(code, 0, trace)
        target = SERVER.path(f"{HOME}/curl-up.bin")
        self.assertEqual(file_sha256(target), sha256(ALL_BYTES))
        os.remove(target)

    def test_active_mode_download(self):
        out = os.path.join(self.work, "active.bin")
        code, trace = run_curl("-P", "127.0.0.1", SERVER.url("/pub/data.bin"), "-o", out)
        self.assertEqual(code, 0, trace)
        # EPRT is not known, so curl falls back to PORT.
        self.assertRegex(trace, r"> PORT 127,0,0,1,\d+,\d+")
        self.assertIn("< 200 Okay", trace)
        self.assertEqual(file_sha256(out), sha256(ALL_BYTES))


# ----------------------------------------------------------------------------
# lftp


def tree(root):
    """{relative path: sha256 or "folder"} of everything under root."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = "folder"
        for f in files:
            found[os.path.relpath(os.path.join(folder, f), root)] = file_sha256(os.path.join(folder, f))
    return found


class Lftp(unittest.TestCase):
    SETTINGS = ("set ftp:passive-mode on; set net:max-retries 1; set net:timeout 10; "
                "set net:reconnect-interval-base 1; set ftp:ssl-allow no; set cmd:fail-exit yes; "
                # An empty folder lists as no lines at all; without this lftp
                # takes that for a failed LIST and asks for NLST, which the
                # server does not implement.
                "set ftp:list-empty-ok yes")

    def lftp(self, commands, trace_name):
        script = (f"{self.SETTINGS}; open -u {USER},{PASSWORD} -p {SERVER.port} 127.0.0.1; {commands}")
        trace = os.path.join(ARTIFACTS, trace_name)
        done = subprocess.run(["lftp", "-d", "-c", script], capture_output=True, timeout=LFTP_TIMEOUT,
                              stdin=subprocess.DEVNULL)
        with open(trace, "wb") as f:
            f.write(done.stdout + done.stderr)
        text = (done.stdout + done.stderr).decode(errors="replace")
        self.assertEqual(done.returncode, 0, f"lftp failed ({done.returncode}); trace in {trace}:\n{text[-4000:]}")
        return text

    def test_mirror_up_and_back(self):
        with tempfile.TemporaryDirectory(prefix="qv-ftp-lftp-") as work:
            local = os.path.join(work, "local")
            write(f"{local}/top.txt", HELLO)
            write(f"{local}/empty.txt", b"")
            write(f"{local}/all bytes.bin", ALL_BYTES)
            write(f"{local}/folder one/name with blanks.txt", BLANK_TEXT)
            write(f"{local}/folder one/deeper/deepest/leaf.bin", bytes(range(255, -1, -1)) * 33)
            write(f"{local}/folder one/deeper/small.txt", SMALL)
            os.makedirs(f"{local}/empty folder")
            expected = tree(local)

            self.lftp(f"mirror -R '{local}' mirrored", "lftp-mirror-up.log")
            self.assertEqual(tree(SERVER.path(f"{HOME}/mirrored")), expected)

            back = os.path.join(work, "back")
            self.lftp(f"mirror mirrored '{back}'", "lftp-mirror-down.log")
            self.assertEqual(tree(back), expected)
            done = subprocess.run(["diff", "-r", local, back], capture_output=True, timeout=30)
            self.assertEqual(done.returncode, 0, done.stdout.decode(errors="replace"))
        shutil.rmtree(SERVER.path(f"{HOME}/mirrored"))


if __name__ == "__main__":
    run_tests(sys.modules[__name__])
