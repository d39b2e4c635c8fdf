#!/usr/bin/env python3
"""End-to-end tests of the HTTP server with real clients.

Starts `qvx32 -debug` on a site of its own (temporary settings, runtime and
document folders, a free port on 127.0.0.1) and drives it with curl and with
headless Chromium. The path of qvx32 comes from the environment variable
QVX32 or the first argument. Screenshots, rendered pages and the server's
console output are kept in the artefact folder: $QV_E2E_ARTIFACTS, else
tests/e2e/artifacts in the build folder that holds qvx32 (the folder CTest
runs this test in).

Standard library only; needs the programs curl and (for the browser tests,
which are skipped without it) chromium.
"""
import html.parser
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

from qvx32_process import Qvx32Process, run_tests, start_server, stop_server, write

VERSION = "pro-1.50-r13"
SERVER_LINE = f"Server: Quorvane/{VERSION}"
REALM = "E2E realm"
USER, PASSWORD = "tester", "s3cret"
CURL_TIMEOUT = 20  # seconds for one curl run (--max-time); the process gets 10 more
BROWSER_TIMEOUT = 90

QVX32 = None      # path of the program under test
ARTIFACTS = None  # folder for screenshots and logs
SERVER = None     # the running server (Server)

# A transparent GIF of one pixel, for the pictures the folder listing names.
PIXEL_GIF = bytes.fromhex("4749463839610100010080000000000000ffffff21f90401000000002c"
                          "00000000010001000002024401003b")

TEMPLATE_PAGE = (
    "<html><head><title>E2E template</title></head><body>\n"
    "<p id=addr>$remote_addr</p>\n"
    "<p id=soft>$Server_Software</p>\n"
    "<p id=agent>$user_agent|[no browser]</p>\n"
    "<p id=ref>$referer?[from $referer]</p>\n"
    "<p id=noref>$referer![no referer]</p>\n"
    "<p id=dollar>$$ and $5 [approx] and $nosuch stays ] too</p>\n"
    "<p id=date>$date</p>\n"
    "<p id=req>$request_method $Request_Protocol $Script_Name</p>\n"
    "</body></html>\n")


XSS_NAME = "<img src=x onerror=document.title='pwned'>.txt"


def expected_template_page(agent, referer, protocol, date):
    return (
        "<html><head><title>E2E template</title></head><body>\n"
        "<p id=addr>127.0.0.1</p>\n"
        f"<p id=soft>Quorvane/{VERSION}</p>\n"
        f"<p id=agent>{agent or 'no browser'}</p>\n"
        f"<p id=ref>{'from ' + referer if referer else ''}</p>\n"
        f"<p id=noref>{'' if referer else 'no referer'}</p>\n"
        "<p id=dollar>$ and  and $nosuch stays ] too</p>\n"
        f"<p id=date>{date}</p>\n"
        f"<p id=req>GET {protocol} /page.htm</p>\n"
        "</body></html>\n").encode()


SECOND_PAGE = "<html><body><p>second page, $Script_Name, $user_agent|[none]</p></body></html>\n"
HELLO_TEXT = b"Hello from the e2e site.\r\nSecond line\n"
BINARY = bytes(range(256)) * 40 + b"\x00\r\n\x1a end"
SECRET = b"only for tester\n"
MAP_FILE = ("# regions of a 100 x 100 picture\n"
            "default /default.htm\n"
            "rect /rect.htm 10,10 40,40\n"
            "circle /circle.htm 70,70 80,70\n")

LISTING_HEADER = ("<html><head><title>E2E listing</title></head><body>\n"
                  "<h1>Shelf of $server_name</h1>\n")
LISTING_FILES = {
    "alpha.txt": b"alpha\n",
    "beta.bin": b"\x01\x02\x03" * 700,          # 2,100 bytes: "   2 kB"
    "Gamma.HTM": b"<html><head><title>Gamma title</title></head><body>g</body></html>\n",
}
LISTING_DESCRIPTIONS = {"alpha.txt": "First letter", "beta.bin": "Some bytes", "sub": "A sub folder"}


def ctime_to_epoch(text):
    return time.mktime(time.strptime(text, "%a %b %d %H:%M:%S %Y"))


# ----------------------------------------------------------------------------
# The server


class Server(Qvx32Process):
    """qvx32 -debug on a site of its own in a temporary folder."""

    def __init__(self, program, log_path):
        super().__init__(program, log_path, "qv-e2e-")

    def make_site(self):
        r = self.root
        html = os.path.join(r, "html")
        write(f"{html}/hello.txt", HELLO_TEXT)
        write(f"{html}/data.bin", BINARY)
        write(f"{html}/page.htm", TEMPLATE_PAGE)
        write(f"{html}/second.htm", SECOND_PAGE)
        write(f"{html}/shapes.map", MAP_FILE)
        write(f"{html}/gifs/smspace.gif", PIXEL_GIF)
        write(f"{html}/gifs/text.gif", PIXEL_GIF)
        write(f"{html}/closed/file.txt", "a folder without listing\n")
        shelf = f"{html}/shelf"
        write(f"{shelf}/qvheader.htm", LISTING_HEADER)
        for name, data in LISTING_FILES.items():
            write(f"{shelf}/{name}", data)
        write(f"{shelf}/sub/inner.txt", "inner\n")
        write(f"{shelf}/access.qac",
              "[Description]\n" + "".join(f"{k}={v}\n" for k, v in LISTING_DESCRIPTIONS.items()))
        write(f"{r}/private/secret.txt", SECRET)
        # A folder whose file name is markup that would run script.
        write(f"{html}/xss/qvheader.txt", "Uploads\n")
        write(f"{html}/xss/{XSS_NAME}", "x\n")
        # A message board and a page that posts markup to it as it loads.
        write(f"{html}/messages/board.htm", BOARD_PAGE)
        write(f"{html}/post.htm", POSTING_PAGE)
        # The sample site's programs, a batch script that prints nothing and
        # a page that posts a form to the Perl script as it loads.
        shutil.copytree(SAMPLE_PROGRAMS, f"{r}/cgi-bin")
        write(f"{r}/cgi-bin/silent.bat", "exit 0\n")
        write(f"{html}/perl-form.htm", PERL_FORM_PAGE)
        write(f"{html}/commands.htm", COMMANDS_PAGE)

    def settings(self):
        r = self.root
        return (
            "[Options]\n"
            "hostname=localhost\n"
            f"logdir={r}/logs/\n"
            f"tempdir={r}/temp/\n"
            f"webdir={r}/html/\n"
            "keep_alive=1\n"
            "webdirbrowsing=0\n"
            f"security_realm={REALM}\n"
            "http_read_timeout=15\n"
            "view_connects=1\n"
            "view_files=1\n"
            "\n[Multi]\n"
            "server1=httpd\n"
            "ip1=127.0.0.1\n"
            f"port1={self.port}\n"
            "server2=none\n"
            "\n[Extensions]\n"
            "Map1=HTM h text/html\n"
            "Map2=TXT 0 text/plain /gifs/text.gif\n"
            "Map3=GIF I image/gif\n"
            "Map4=MAP 0 text/plain\n"
            "Map5=* 9 application/octet-stream\n"
            "\n[Aliases]\n"
            f"Alias1=/private {r}/private/ {USER} anywhere . . d\n"
            f"Alias2=/messages {r}/html/messages/ Anybody anywhere . m\n"
            f"Alias3=/cgi-bin {r}/cgi-bin/ Anybody anywhere c\n"
            "\n[CGI]\n"
            "Perl_Compiler=perl\n"
            f"Perl_Dir={r}/cgi-bin/\n"
            "\n[Users]\n"
            f"User1={USER} {PASSWORD}\n")

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def raw(self, request, seconds=10):
        """Sends raw bytes and reads until the server closes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=seconds) as s:
            s.sendall(request)
            chunks, deadline = [], time.monotonic() + seconds
            while time.monotonic() < deadline:
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
            return b"".join(chunks)

    def hits(self):
        """Connections accepted so far (the status page's own one included)."""
        page = self.raw(b"GET /~status HTTP/1.0\r\n\r\n").decode(errors="replace")
        m = re.search(r"Hits: </td><td>(\d+)</td>", page)
        if not m:
            raise AssertionError(f"no Hits in the status page:\n{page}")
        return int(m.group(1))


def setUpModule():
    global SERVER
    SERVER = start_server(Server, QVX32, ARTIFACTS, "qvx32-debug.log", ("curl",))
    print(f"qvx32 {QVX32} serving {SERVER.root} on port {SERVER.port}", file=sys.stderr)


def tearDownModule():
    if SERVER is not None:
        stop_server(SERVER)


# ----------------------------------------------------------------------------
# curl


class Response:
    def __init__(self, head, body):
        self.head = head                        # the header block as received
        lines = head.decode("latin-1").split("\r\n")
        self.status = lines[0]
        self.headers = [tuple(part.strip() for part in line.split(":", 1)) for line in lines[1:] if line]
        self.body = body

    def header(self, name):
        values = [v for k, v in self.headers if k.lower() == name.lower()]
        return values[0] if values else None


def run_curl(urls, *options):
    """One curl run over the URLs; returns (responses, curl's -v trace).
    Header blocks come from -D (as received), bodies from one file per URL."""
    with tempfile.TemporaryDirectory(prefix="qv-curl-") as d:
        args = ["curl", "-sS", "-v", "--max-time", str(CURL_TIMEOUT), "-D", f"{d}/head", *options]
        for i, url in enumerate(urls):
            args += [url, "-o", f"{d}/body{i}"]
        done = subprocess.run(args, capture_output=True, timeout=CURL_TIMEOUT + 10)
        trace = done.stderr.decode(errors="replace")
        if done.returncode != 0:
            raise AssertionError(f"curl failed ({done.returncode}):\n{trace}")
        with open(f"{d}/head", "rb") as f:
            heads = re.findall(rb"HTTP/.*?\r\n\r\n", f.read(), re.S)
        bodies = []
        for i in range(len(urls)):
            path = f"{d}/body{i}"
            if os.path.exists(path):  # curl writes no file for an empty body
                with open(path, "rb") as f:
                    bodies.append(f.read())
            else:
                bodies.append(b"")
    if len(heads) != len(urls):
        raise AssertionError(f"{len(heads)} header blocks for {len(urls)} URLs:\n{trace}")
    return [Response(h, b) for h, b in zip(heads, bodies)], trace


def curl(path, *options):
    responses, _ = run_curl([SERVER.url(path)], *options)
    return responses[0]


def ok_head(content_type, length, keep_alive=False):
    return (f"HTTP/1.0 200 OK\r\n{SERVER_LINE}\r\nMIME-version: 1.0\r\nContent-Type: {content_type}\r\n"
            + ("Connection: Keep-Alive\r\n" if keep_alive else "")
            + f"content-length: {length}\r\n\r\n").encode()


def error_head(status, extra=""):
    return f"HTTP/1.0 {status}\r\n{SERVER_LINE}\r\nMIME-version: 1.0\r\n{extra}Content-Type: text/html\r\n\r\n".encode()


def redirect(target):
    return (f"HTTP/1.0 302 Found\r\n{SERVER_LINE}\r\nLocation: {target}\r\nContent-type: text/html\r\n\r\n".encode(),
            f"\r\nThis document is located at <A HREF=\"{target}\">{target}</A>\r\n".encode())


class OneRequestPerConnection(unittest.TestCase):
    """curl without keep-alive: each response is checked byte for byte."""

    def test_files_are_sent_whole_with_their_type(self):
        r = curl("/hello.txt")
        self.assertEqual(r.head, ok_head("text/plain", len(HELLO_TEXT)))
        self.assertEqual(r.body, HELLO_TEXT)
        # A binary file of another type falls to the "*" entry.
        r = curl("/data.bin")
        self.assertEqual(r.head, ok_head("application/octet-stream", len(BINARY)))
        self.assertEqual(r.body, BINARY)

    def test_missing_page_gets_the_404_page(self):
        r = curl("/missing.htm", "-A", "")
        self.assertEqual(r.head, error_head("404 NOT FOUND"))
        self.assertEqual(r.body, b"<h2>FILE NOT FOUND</h2>The requested object (/missing.htm) was not found.\r\n")
        # With a Referer the page offers the way back.
        ref = "http://127.0.0.1/from.htm"
        r = curl("/missing.htm", "-e", ref)
        self.assertEqual(r.status, "HTTP/1.0 404 NOT FOUND")
        self.assertEqual(r.body, b"<h2>FILE NOT FOUND</h2>The requested object (/missing.htm) was not found."
                                 b"\r\n<p>Return to <a href=" + ref.encode() + b">" + ref.encode() + b"</a>\r\n")

    def test_folder_without_slash_is_redirected(self):
        head, body = redirect("/shelf/")
        r = curl("/shelf")
        self.assertEqual((r.head, r.body), (head, body))
        r = curl("/shelf?x=1")  # the query is dropped
        self.assertEqual((r.head, r.body), (head, body))

    def test_folder_without_listing_is_forbidden(self):
        r = curl("/closed/")
        self.assertEqual(r.head, error_head("403 Forbidden"))
        self.assertEqual(r.body, b"<h2>NOT ALLOWED</h2>Directory browsing is not allowed in this folder "
                                 b"(/closed/).\r\n\r\n")

    def test_owned_folder_asks_for_a_login(self):
        challenge = error_head("401 Unauthorized", f'WWW-Authenticate: Basic realm="{REALM}"\r\n')
        body = (b"<h2>UNAUTHORIZED</h2>A username and password are required for this folder "
                b"(/private/secret.txt).\r\n\r\n")
        r = curl("/private/secret.txt")
        self.assertEqual((r.head, r.body), (challenge, body))
        r = curl("/private/secret.txt", "-u", f"{USER}:wrong")
        self.assertEqual((r.head, r.body), (challenge, body))
        r = curl("/private/secret.txt", "-u", f"{USER}:{PASSWORD}")
        self.assertEqual((r.head, r.body), (ok_head("text/plain", len(SECRET)), SECRET))
        # The owner may list the folder (the alias's listings flag).
        r = curl("/private/", "-u", f"{USER}:{PASSWORD}")
        self.assertEqual(r.status, "HTTP/1.0 200 OK")
        self.assertIn(b'<A HREF = "http:/private/secret.txt">', r.body)

    def test_templated_page_without_browser_headers(self):
        r = curl("/page.htm", "-A", "", "--http1.0")
        date = re.search(rb"<p id=date>(.*?)</p>", r.body).group(1).decode()
        self.assertEqual(r.body, expected_template_page("", "", "HTTP/1.0", date))
        self.assertEqual(r.head, ok_head("text/html", len(r.body)))
        self.assertLess(abs(ctime_to_epoch(date) - time.time()), 120, date)

    def test_image_map_redirects_to_the_region_hit(self):
        for query, target in (("10,10", "/rect.htm"),       # corner: bounds are inclusive
                              ("80,70", "/circle.htm"),     # on the rim
                              ("50,50", "/default.htm")):   # nothing else: default
            with self.subTest(query=query):
                r = curl(f"/shapes.map?{query}")
                self.assertEqual((r.head, r.body), redirect(target))
        # Without a click the map file itself is sent.
        r = curl("/shapes.map")
        self.assertEqual((r.head, r.body), (ok_head("text/plain", len(MAP_FILE)), MAP_FILE.encode()))


class KeepAlive(unittest.TestCase):
    """curl with several URLs and 'Connection: keep-alive'."""

    AGENT = "e2e-agent/1.0"
    REFERER = "http://127.0.0.1/start.htm"

    def run_keep_alive(self, paths):
        before = SERVER.hits()
        responses, trace = run_curl([SERVER.url(p) for p in paths], "-H", "Connection: keep-alive",
                                    "-A", self.AGENT, "-e", self.REFERER)
        # The status page used its own connection after `before` was read.
        connections = SERVER.hits() - before - 1
        return responses, trace, connections

    def test_pages_and_files_share_one_connection(self):
        responses, trace, connections = self.run_keep_alive(["/page.htm", "/second.htm", "/hello.txt"])
        page, second, hello = responses
        date = re.search(rb"<p id=date>(.*?)</p>", page.body).group(1).decode()
        self.assertEqual(page.body, expected_template_page(self.AGENT, self.REFERER, "HTTP/1.1", date))
        # The length announced is that of the expanded page, so the next
        # response on the connection starts where it should.
        self.assertEqual(page.head, ok_head("text/html", len(page.body), keep_alive=True))
        second_body = f"<html><body><p>second page, /second.htm, {self.AGENT}</p></body></html>\n".encode()
        self.assertEqual((second.head, second.body),
                         (ok_head("text/html", len(second_body), keep_alive=True), second_body))
        self.assertEqual((hello.head, hello.body), (ok_head("text/plain", len(HELLO_TEXT), keep_alive=True),
                                                    HELLO_TEXT))
        self.assertEqual(trace.count("Re-using existing connection"), 2, trace)
        self.assertEqual(connections, 1)

    def test_listing_and_errors_close_the_connection(self):
        responses, trace, connections = self.run_keep_alive(["/shelf/", "/missing.htm", "/hello.txt"])
        listing, missing, hello = responses
        self.assertEqual(listing.head, f"HTTP/1.0 200 OK\r\n{SERVER_LINE}\r\nMIME-version: 1.0\r\n"
                                       f"Content-Type: text/html\r\n\r\n".encode())
        self.assertTrue(listing.body.endswith(b"</PRE>\r\n"), listing.body[-200:])
        self.assertEqual(missing.status, "HTTP/1.0 404 NOT FOUND")
        self.assertEqual(hello.body, HELLO_TEXT)
        self.assertNotIn("Re-using existing connection", trace)
        self.assertEqual(connections, 3)


# ----------------------------------------------------------------------------
# Chromium


BOARD_PAGE = "<html><head><title>E2E board</title></head><body><h1>Board</h1>\n"
BOARD_SCRIPT = "<script>document.title='pwned'</script>"
POSTING_PAGE = (
    "<html><body onload=\"document.forms[0].submit()\">"
    "<form method=post action=/messages/board>"
    "<input type=hidden name=name value=\"Mallory\">"
    f"<input type=hidden name=text value=\"{BOARD_SCRIPT.replace('<', '&lt;').replace('>', '&gt;')}\">"
    "</form></body></html>\n")


SAMPLE_PROGRAMS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                               "examples", "cgi-bin")
PERL_FORM_PAGE = (
    "<html><body onload=\"document.forms[0].submit()\">"
    "<form method=post action=/cgi-bin/guest.pl>"
    "<input type=hidden name=name value=\"Ann &amp; Bob\">"
    "<input type=hidden name=colour value=\"&lt;i&gt;teal&lt;/i&gt;\">"
    "</form></body></html>\n")
COMMANDS_PAGE = (
    "<html><body><pre>\n"
    "<!--#exec cmd=\"/bin/echo first  command\"-->\n"
    "<!--#config cmdprefix=\"[\"-->\n"
    "<!--#config cmdpostfix=\"]\"-->\n"
    "<!--#exec cmd=\"printf one\\ntwo\\n\"-->\n"
    "</pre></body></html>\n")


class Programs(unittest.TestCase):
    """Gateway programs and page commands, asked for with curl."""

    def test_standard_program_answers_with_its_own_header(self):
        r = curl("/cgi-bin/hello.exe?greeting=a%26b")
        self.assertEqual(r.status, "HTTP/1.0 200 OK")
        self.assertEqual(r.header("Content-Type"), "text/html")
        self.assertIn(b"Hello from a standard CGI program", r.body)
        self.assertIn(b"<code>greeting=a%26b</code>", r.body)   # QUERY_STRING as sent

    def test_windows_program_reads_its_profile(self):
        r = curl("/cgi-bin/wincgi.exe?x=1", "--data", "city=Graz&note=a%20b")
        self.assertEqual(r.status, "HTTP/1.0 200 OK")
        self.assertIn(b"<tr><td>city</td><td>Graz</td></tr>", r.body)
        self.assertIn(b"<tr><td>Query String</td><td>x=1</td></tr>", r.body)
        self.assertIn(b"<tr><td>Request Method</td><td>POST</td></tr>", r.body)

    def test_a_program_without_output_is_a_500_curl_accepts(self):
        r = curl("/cgi-bin/silent.bat")
        self.assertEqual(r.status, "HTTP/1.0 500 Internal Server Error")
        self.assertEqual(r.body, b"<h1>CGI no output</h1>")

    def test_page_commands_write_into_the_page(self):
        r = curl("/commands.htm")
        self.assertEqual(r.status, "HTTP/1.0 200 OK")
        self.assertEqual(r.body, b"<html><body><pre>\nfirst command\n[one\n][two\n]</pre></body></html>\n")
        self.assertEqual(os.listdir(os.path.join(SERVER.root, "temp")), [])


def find_browser():
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


BROWSER = find_browser()


def browser(*args):
    """Runs headless Chromium with a profile of its own; returns stdout."""
    with tempfile.TemporaryDirectory(prefix="qv-chromium-") as profile:
        cmd = [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--disable-dev-shm-usage", f"--user-data-dir={profile}", *args]
        done = subprocess.run(cmd, capture_output=True, timeout=BROWSER_TIMEOUT, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise AssertionError(f"chromium failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
        return done.stdout.decode(errors="replace")


class Dom(html.parser.HTMLParser):
    """Title, headings, text of <pre> and the links of a rendered page."""

    def __init__(self, text):
        super().__init__()
        self.title, self.headings, self.pre, self.links = "", [], "", []
        self._in = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self._in.append(tag)
        if tag == "a":
            self.links.append([dict(attrs).get("href"), ""])
        if tag in ("h1", "h2", "h3"):
            self.headings.append("")

    def handle_endtag(self, tag):
        if tag in self._in:
            while self._in.pop() != tag:
                pass

    def handle_data(self, data):
        if "title" in self._in:
            self.title += data
        if {"h1", "h2", "h3"} & set(self._in):
            self.headings[-1] += data
        if "pre" in self._in:
            self.pre += data
        if "a" in self._in and self.links:
            self.links[-1][1] += data


def png_size_and_colours(path):
    """Width, height and the number of distinct colours of an 8-bit RGB or
    RGBA PNG (what Chromium writes)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError(f"{path} is not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour_type = header[:4]
    if depth != 8 or colour_type not in (2, 6):
        return width, height, None
    bpp = 3 if colour_type == 2 else 4
    raw, stride = zlib.decompress(idat), width * bpp
    prev, colours = bytearray(stride), set()
    for y in range(height):
        base = y * (stride + 1)
        ftype, line = raw[base], bytearray(raw[base + 1:base + 1 + stride])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if ftype == 1:
                line[i] = (line[i] + a) & 0xFF
            elif ftype == 2:
                line[i] = (line[i] + b) & 0xFF
            elif ftype == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif ftype == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        if y % 4 == 0:
            colours.update(bytes(line[i:i + 3]) for i in range(0, stride, bpp * 4))
        prev = line
    return width, height, len(colours)


@unittest.skipUnless(BROWSER, "chromium is not installed (apt-get install chromium): browser tests skipped")
class HeadlessChromium(unittest.TestCase):
    """What a browser makes of the server's pages."""

    def screenshot(self, name, path):
        shot = os.path.join(ARTIFACTS, name)
        if os.path.exists(shot):
            os.remove(shot)
        browser(f"--screenshot={shot}", "--window-size=1024,768", SERVER.url(path))
        width, height, colours = png_size_and_colours(shot)
        self.assertEqual((width, height), (1024, 768))
        # Text on a white page gives many shades; a blank page gives one.
        if colours is not None:
            self.assertGreater(colours, 3, f"{shot} looks blank")
        print(f"screenshot: {shot}", file=sys.stderr)
        return shot

    def dump_dom(self, name, path):
        text = browser("--dump-dom", SERVER.url(path))
        write(os.path.join(ARTIFACTS, name), text)
        return Dom(text)

    def test_folder_listing(self):
        dom = self.dump_dom("listing.html", "/shelf/")
        self.assertEqual(dom.title, "E2E listing")
        self.assertIn("Shelf of localhost", dom.headings)   # qvheader.htm, expanded
        # A row's link holds its kind mark ("File : ", "Dir : " or an icon) and the name.
        links = {text.split()[-1]: href for href, text in dom.links if text.strip()}
        for name in LISTING_FILES:
            self.assertEqual(links.get(name), f"http:/shelf/{name}", dom.links)
        self.assertEqual(links.get("sub/"), "http:/shelf/sub/")
        self.assertNotIn("..", links)
        by_name = {}
        for line in dom.pre.splitlines():
            for name in list(LISTING_FILES) + ["sub/", "access.qac", "qvheader.htm"]:
                if re.search(rf"(^|\s){re.escape(name)}(\s|$)", line):
                    by_name[name] = line
        self.assertRegex(by_name["alpha.txt"], r"alpha\.txt\s+6 B\s+\w{3} [ \d]\d, \d{4} First letter$")
        self.assertRegex(by_name["beta.bin"], r"File : \s+beta\.bin\s+2 kB\s+.* Some bytes$")
        self.assertRegex(by_name["Gamma.HTM"], r"Gamma title$")        # the page's own title
        self.assertRegex(by_name["sub/"], r"sub/\s+A sub folder$")
        self.assertIn("Name          Size   Date         Description", dom.pre)
        self.screenshot("listing.png", "/shelf/")

    def test_error_page(self):
        dom = self.dump_dom("missing.html", "/nothing-here.htm")
        self.assertIn("FILE NOT FOUND", dom.headings)
        self.screenshot("missing.png", "/nothing-here.htm")

    def assert_no_script_ran(self, dom, text):
        self.assertNotEqual(dom.title, "pwned")
        self.assertNotIn("<script>", text)
        self.assertNotIn("<img src=\"x\"", text)

    def test_request_text_shows_as_text(self):
        path = "/%3Cscript%3Edocument.title='pwned'%3C/script%3E"
        dom = self.dump_dom("xss-missing.html", path)
        with open(os.path.join(ARTIFACTS, "xss-missing.html")) as f:
            text = f.read()
        self.assert_no_script_ran(dom, text)
        self.assertIn("&lt;script&gt;document.title='pwned'&lt;/script&gt;", text)
        self.screenshot("xss-missing.png", path)

    def test_file_names_show_as_text(self):
        dom = self.dump_dom("xss-listing.html", "/xss/")
        with open(os.path.join(ARTIFACTS, "xss-listing.html")) as f:
            text = f.read()
        self.assert_no_script_ran(dom, text)
        self.assertIn(XSS_NAME, dom.pre)
        self.screenshot("xss-listing.png", "/xss/")

    def test_posted_script_shows_as_text_on_the_board(self):
        browser("--virtual-time-budget=5000", "--dump-dom", SERVER.url("/post.htm"))
        dom = self.dump_dom("board.html", "/messages/board.htm")
        with open(os.path.join(ARTIFACTS, "board.html")) as f:
            text = f.read()
        self.assertEqual(dom.title, "E2E board")
        self.assertIn("Mallory", text)
        self.assertNotIn(BOARD_SCRIPT, text)
        self.assertIn(BOARD_SCRIPT.replace("<", "&lt;").replace(">", "&gt;"), text)
        self.screenshot("board.png", "/messages/board.htm")

    def test_form_posted_to_perl_renders_its_reply(self):
        text = browser("--virtual-time-budget=5000", "--dump-dom", SERVER.url("/perl-form.htm"))
        write(os.path.join(ARTIFACTS, "perl-reply.html"), text)
        dom = Dom(text)
        self.assertEqual(dom.title, "Perl says hello")
        self.assertIn("Hello, Ann & Bob!", dom.headings)
        self.assertIn("<b>&lt;i&gt;teal&lt;/i&gt;</b>", text)
        shot = os.path.join(ARTIFACTS, "perl-reply.png")
        browser("--virtual-time-budget=5000", f"--screenshot={shot}", "--window-size=1024,768",
                SERVER.url("/perl-form.htm"))
        self.assertGreater(png_size_and_colours(shot)[2] or 4, 3)

    def test_status_page_opens(self):
        dom = self.dump_dom("status.html", "/~status")
        self.assertEqual(dom.title, "Server Stats")
        self.assertIn("Server Status", dom.headings)
        self.screenshot("status.png", "/~status")

    def test_templated_page(self):
        dom = self.dump_dom("page.html", "/page.htm")
        self.assertEqual(dom.title, "E2E template")
        with open(os.path.join(ARTIFACTS, "page.html")) as f:
            text = f.read()
        self.assertIn('<p id="addr">127.0.0.1</p>', text)
        self.assertRegex(text, r'<p id="agent">Mozilla/5\.0 [^<]*Chrome/[^<]*</p>')
        self.assertIn('<p id="noref">no referer</p>', text)


if __name__ == "__main__":
    run_tests(sys.modules[__name__])
