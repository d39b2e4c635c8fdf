#!/usr/bin/env python3
"""End-to-end test of qvx_pro, the desktop program, on a virtual screen.

Starts Xvfb (and openbox, when installed, for window frames), runs qvx_pro
on a site of its own (temporary settings, runtime and log folders, an HTTP
server on a free port of 127.0.0.1), fetches pages with curl, takes a
screenshot of the whole screen with scrot, and ends the program with
SIGTERM. The path of qvx_pro comes from the environment variable QVX_PRO
or the first argument; the screenshot goes to $QV_E2E_ARTIFACTS (else
tests/e2e/artifacts in the build folder that holds qvx_pro).

Needs the programs Xvfb, scrot and curl.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from qvx32_process import free_port, write

QVX_PRO = None
ARTIFACTS = None
# A sanitized build checks for leaks at exit; the D-Bus library's are not ours.
LEAK_SUPPRESSIONS = "suppressions=" + os.path.join(os.path.dirname(os.path.abspath(__file__)), "qt_leaks.supp")


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class Desktop:
    """Xvfb on a display of its own, with openbox when there is one."""

    def __init__(self, log):
        read, written = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(written), "-screen", "0", "1024x700x24",
                                      "-nolisten", "tcp"], pass_fds=(written,), stdout=log, stderr=log)
        os.close(written)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("QT_QPA_PLATFORM", None)
        self.wm = None
        if shutil.which("openbox"):
            self.wm = subprocess.Popen(["openbox"], env=self.env, stdout=log, stderr=log)
            time.sleep(1)

    def screenshot(self, path):
        subprocess.run(["scrot", "-o", path], env=self.env, check=True, timeout=30)

    def close(self):
        for p in (self.wm, self.xvfb):
            if p and p.poll() is None:
                p.terminate()
                p.wait(timeout=10)


class QvxPro(unittest.TestCase):
    def test_serves_the_site_and_quits_on_sigterm(self):
        root = tempfile.mkdtemp(prefix="qv-pro-e2e-")
        os.makedirs(ARTIFACTS, exist_ok=True)
        port = free_port()
        for d in ("etc", "run", "logs", "html"):
            os.makedirs(os.path.join(root, d))
        write(f"{root}/html/index.htm", "<h1>Served while the window shows it</h1>\n")
        write(f"{root}/etc/quorvane.ini",
              f"[Options]\nhostname=localhost\nlogdir={root}/logs/\nwebdir={root}/html/\nview_connects=1\n"
              f"[Logging]\nenable_files=1\naccess_file=1\n"
              f"[Multi]\nserver1=http\nip1=127.0.0.1\nport1={port}\nserver2=none\n")
        runtime = os.path.join(root, "xdg")
        os.makedirs(runtime, mode=0o700)
        with open(os.path.join(ARTIFACTS, "qvx_pro-e2e.log"), "wb") as log:
            desktop = Desktop(log)
            try:
                env = dict(desktop.env, QUORVANE_ETC=f"{root}/etc", QUORVANE_RUN=f"{root}/run",
                           XDG_RUNTIME_DIR=runtime, LSAN_OPTIONS=LEAK_SUPPRESSIONS)
                program = subprocess.Popen([QVX_PRO], cwd=root, env=env, stdout=log, stderr=log)
                try:
                    self.assertTrue(wait_for(lambda: listening(port), 30), "qvx_pro did not start serving")
                    for path in ("/", "/index.htm", "/missing.htm", "/"):
                        done = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                               f"http://127.0.0.1:{port}{path}"], capture_output=True, timeout=30)
                        self.assertIn(done.stdout, (b"200", b"404"))
                    time.sleep(1.5)  # two ticks of the counts
                    shot = os.path.join(ARTIFACTS, "qvx_pro-desktop.png")
                    desktop.screenshot(shot)
                    self.assertGreater(os.path.getsize(shot), 5000)
                    program.send_signal(signal.SIGTERM)
                    self.assertEqual(program.wait(timeout=30), 0)
                    self.assertFalse(listening(port))
                finally:
                    if program.poll() is None:
                        program.kill()
                        program.wait(timeout=10)
            finally:
                desktop.close()
        with open(f"{root}/logs/qvx.log", "rb") as f:
            self.assertEqual(len(f.read().splitlines()), 4)  # one access-log line per request
        shutil.rmtree(root, ignore_errors=True)


def main():
    global QVX_PRO, ARTIFACTS
    args = sys.argv[1:]
    QVX_PRO = os.path.abspath(args.pop(0) if args and not args[0].startswith("-") else os.environ.get("QVX_PRO", ""))
    ARTIFACTS = os.environ.get("QV_E2E_ARTIFACTS") or os.path.join(
        os.path.dirname(os.path.dirname(QVX_PRO)), "tests", "e2e", "artifacts")
    for program in ("Xvfb", "scrot", "curl"):
        if not shutil.which(program):
            sys.exit(f"{program} is needed: apt-get install xvfb scrot curl")
    unittest.main(argv=[sys.argv[0]] + args, verbosity=2)


if __name__ == "__main__":
    main()
