#!/usr/bin/env python3
"""End-to-end tests of the Gopher server with real clients.

Starts `qvx32 -debug` on a site of its own (temporary settings, runtime,
log and Gopher folders, a free port on 127.0.0.1) and drives it with a small
Gopher client written here, curl and lynx. The path of qvx32 comes from the
environment variable QVX32 or the first argument. The server's console
output is kept in the artefact folder: $QV_E2E_ARTIFACTS, else
tests/e2e/artifacts in the build folder that holds qvx32.

Standard library only; needs the programs curl and lynx.
"""
import os
import socket
import subprocess
import sys
import time
import unittest

from qvx32_process import Qvx32Process, run_tests, start_server, stop_server, write

SOCKET_TIMEOUT = 15  # seconds for one connect or receive
CLIENT_TIMEOUT = 30  # curl --max-time and lynx; the process gets 10 more

QVX32 = None      # path of the program under test
ARTIFACTS = None  # folder for logs
SERVER = None     # the running server (Server)

PICTURE = b"GIF89a" + bytes(range(256)) * 64 + b"\x00\r\n\x1a\xff;"
# name -> content of the Gopher root; "/" ends a folder.
SITE = {
    "about.txt": b"About this server\r\n",
    "Read me first.txt": b"a name with blanks\n",
    "pictures/": None,
    "pictures/sea.gif": PICTURE,
    "docs/": None,
    "docs/guide.txt": b"x" * 1023,
    "docs/kilo.txt": b"k" * 1024,
    "docs/access.qac": b"[Description]\r\nguide.txt=How to browse\r\nnotes=Loose notes\r\n",
    "docs/notes/": None,
    "docs/notes/todo.txt": b"- more pictures\n",
    "docs/notes/empty/": None,
    "private/": None,
    "private/secret.txt": b"owned by demo",
    "masked/": None,
    "masked/hidden.txt": b"only for one address",
    "cgi/": None,
    "cgi/run.pl": b"print 'the source';\n",
}


class Server(Qvx32Process):
    """qvx32 -debug serving Gopher from a temporary folder, with no host name
    configured: menus name the address the client connected to."""

    def __init__(self, program, log_path):
        self.gopher_root = None
        super().__init__(program, log_path, "qv-gopher-e2e-")

    def path(self, selector_path):
        return os.path.join(self.gopher_root, selector_path.lstrip("/"))

    def make_site(self):
        self.gopher_root = os.path.join(self.root, "gopher")
        for name, content in SITE.items():
            if content is None:
                os.makedirs(self.path(name), exist_ok=True)
            else:
                write(self.path(name), content)

    def settings(self):
        r, g = self.root, self.gopher_root
        return (
            "[Options]\n"
            f"logdir={r}/logs/\n"
            f"tempdir={r}/temp/\n"
            f"gopherdir={g}/\n"
            "gopher_read_timeout=10\n"
            "view_connects=1\n"
            "\n[Logging]\nenable_files=1\naccess_file=1\n"
            "\n[Extensions]\nMap1=TXT 0 text/plain\nMap2=GIF I image/gif\n"
            "\n[Host Restrictions]\ninside=10.1.2.3\n"
            "\n[Aliases]\n"
            f"Alias1=/private {g}/private/ demo anywhere\n"
            f"Alias2=/masked {g}/masked/ Anybody inside\n"
            f"Alias3=/cgi {g}/cgi/ Anybody anywhere c\n"
            "\n[Users]\nUser1=demo demo\n"
            "\n[Multi]\n"
            "server1=gopher\n"
            "ip1=127.0.0.1\n"
            f"port1={self.port}\n"
            f"dir1={g}/\n"
            "server2=none\n")

    def access_log(self):
        try:
            with open(os.path.join(self.root, "logs", "qvx.log"), "rb") as f:
                return f.read().decode(errors="replace")
        except FileNotFoundError:
            return ""


def setUpModule():
    global SERVER
    SERVER = start_server(Server, QVX32, ARTIFACTS, "qvx32-gopher-debug.log", ("curl", "lynx"))
    print(f"qvx32 {QVX32} serving Gopher from {SERVER.gopher_root} on port {SERVER.port}", file=sys.stderr)


def tearDownModule():
    if SERVER is not None:
        stop_server(SERVER)


# ----------------------------------------------------------------------------
# A small Gopher client


def fetch(selector, host="127.0.0.1", port=None):
    """Sends the selector and returns every byte until the server closes."""
    with socket.create_connection((host, port or SERVER.port), timeout=SOCKET_TIMEOUT) as s:
        s.sendall(selector.encode() + b"\r\n")
        with s.makefile("rb") as reply:
            return reply.read()


def parse_menu(data):
    """The items of a menu as (type, display, selector, host, port); fails
    unless every line has its five fields and the menu ends with "."."""
    text = data.decode()
    if not text.endswith("\r\n.\r\n"):
        raise AssertionError(f"menu without its end: {text!r}")
    items = []
    for line in text[:-len(".\r\n")].split("\r\n")[:-1]:
        fields = line.split("\t")
        if len(fields) != 4:
            raise AssertionError(f"menu line with {len(fields)} fields: {line!r}")
        items.append((line[0], fields[0][1:], fields[1], fields[2], int(fields[3])))
    return items


def crawl():
    """Every item reachable from the root menu, following each item to the
    host and port its menu line names: {selector: bytes}."""
    seen = {}
    pending = [("", "127.0.0.1", SERVER.port)]
    while pending:
        selector, host, port = pending.pop()
        data = fetch(selector, host, port)
        seen[selector] = data
        if selector[:1] in ("", "1") and data:  # refused menus and empty folders close empty
            for kind, _, child, child_host, child_port in parse_menu(data):
                if child not in seen:
                    pending.append((child, child_host, child_port))
    return seen


def log_lines():
    return SERVER.access_log().count("\r\n")


def wait_for_log_lines(count, seconds=10):
    deadline = time.monotonic() + seconds
    while log_lines() < count and time.monotonic() < deadline:
        time.sleep(0.05)
    return log_lines()


class Crawl(unittest.TestCase):
    def test_every_selector_from_the_root_gives_the_file_bytes(self):
        seen = crawl()
        # The folders of the owned and the masked alias are listed but
        # refused, so nothing below them is reached; a program's source is
        # listed but not sent.
        unreached = {"private/secret.txt", "masked/hidden.txt"}
        files = {name for name, content in SITE.items() if content is not None} - unreached
        reached = {selector[2:]: data for selector, data in seen.items() if selector[:1] not in ("", "1")}
        self.assertEqual(set(reached), files)
        for name, data in reached.items():
            self.assertEqual(data, b"" if name == "cgi/run.pl" else SITE[name], name)
        for refused in ("1/private", "1/masked", "1/docs/notes/empty"):
            self.assertEqual(seen[refused], b"", refused)

    def test_menu_lines_name_the_connected_address_and_describe_entries(self):
        items = parse_menu(fetch("1/docs"))
        self.assertEqual([i[2] for i in items],
                         ["0/docs/access.qac", "0/docs/guide.txt", "0/docs/kilo.txt", "1/docs/notes"])
        self.assertTrue(all(i[3] == "127.0.0.1" and i[4] == SERVER.port for i in items), items)
        displays = {i[2]: i[1] for i in items}
        self.assertTrue(displays["0/docs/guide.txt"].startswith("   guide.txt 1023 B  "), displays)
        self.assertTrue(displays["0/docs/guide.txt"].endswith(": How to browse"), displays)
        self.assertTrue(displays["0/docs/kilo.txt"].startswith("    kilo.txt    1 kB "), displays)
        self.assertEqual(displays["1/docs/notes"], "notes/: Loose notes")


class Refusals(unittest.TestCase):
    def test_refused_selectors_close_empty_and_are_logged(self):
        before = wait_for_log_lines(0)
        selectors = ["0/docs/../../etc/passwd", "0/private/secret.txt", "1/private", "0/masked/hidden.txt",
                     "0/cgi/run.pl", "0/no such file"]
        for selector in selectors:
            self.assertEqual(fetch(selector), b"", selector)
        self.assertEqual(wait_for_log_lines(before + len(selectors)), before + len(selectors))
        self.assertIn('"/cgi/run.pl" 200 0\r\n', SERVER.access_log())


def run_client(args):
    result = subprocess.run(args, capture_output=True, timeout=CLIENT_TIMEOUT + 10)
    if result.returncode != 0:
        raise AssertionError(f"{args[0]} exit {result.returncode}: {result.stderr.decode(errors='replace')}")
    return result.stdout


class Curl(unittest.TestCase):
    def curl(self, path):
        return run_client(["curl", "-sS", "--max-time", str(CLIENT_TIMEOUT),
                           f"gopher://127.0.0.1:{SERVER.port}{path}"])

    def test_menus_and_files(self):
        # curl takes the URL's first letter as the item type and sends the
        # rest, so a selector carrying its own type shows it twice.
        self.assertEqual(self.curl("/11/docs"), fetch("1/docs"))
        self.assertEqual(self.curl("/"), fetch(""))
        self.assertEqual(self.curl("/II/pictures/sea.gif"), PICTURE)
        self.assertEqual(self.curl("/00/Read%20me%20first.txt"), SITE["Read me first.txt"])


class Lynx(unittest.TestCase):
    def test_dump_of_the_root_menu(self):
        env = dict(os.environ, TERM="dumb", HOME=SERVER.root)
        result = subprocess.run(["lynx", "-dump", "-nolist", f"gopher://127.0.0.1:{SERVER.port}/"],
                                capture_output=True, timeout=CLIENT_TIMEOUT, env=env)
        text = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0, result.stderr)
        for shown in ("about.txt", "Read me first.txt", "docs/", "pictures/", "cgi/"):
            self.assertIn(shown, text)
        # The menu's own field separators never reach the page.
        self.assertNotIn("\t", text)
        self.assertNotIn("127.0.0.1\t", text)


if __name__ == "__main__":
    run_tests(sys.modules[__name__])
