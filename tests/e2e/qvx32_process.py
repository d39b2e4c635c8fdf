"""qvx32 -debug as the end-to-end tests run it: a site of its own in a
temporary folder, a free loopback port, the console output kept in a file,
and SIGINT at the end."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


class Qvx32Process:
    """A subclass lays out its site in make_site() and writes its settings
    (for self.port) in settings()."""

    greets = False  # the server speaks first (FTP): wait for its greeting

    def __init__(self, program, log_path, prefix):
        self.program = program
        self.log_path = log_path
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.proc = None
        self.port = None
        self.log = None
        for d in ("etc", "run", "logs", "temp"):
            os.makedirs(os.path.join(self.root, d))
        self.make_site()

    def make_site(self):
        raise NotImplementedError

    def settings(self):
        raise NotImplementedError

    def start(self):
        """Starts the server on a free port; a port taken in between by
        somebody else (a passive data port of another test, say) is
        replaced by another one."""
        open(self.log_path, "wb").close()
        for _ in range(5):
            self.port = free_port()
            write(os.path.join(self.root, "etc", "quorvane.ini"), self.settings())
            env = dict(os.environ, QUORVANE_ETC=os.path.join(self.root, "etc"),
                       QUORVANE_RUN=os.path.join(self.root, "run"))
            self.log = open(self.log_path, "ab")  # every attempt stays in the log
            self.proc = subprocess.Popen([self.program, "-debug"], cwd=self.root, env=env,
                                         stdin=subprocess.DEVNULL, stdout=self.log,
                                         stderr=subprocess.STDOUT)
            if self.wait_until_listening(15):
                return
            self.stop()
        raise RuntimeError(f"qvx32 did not start listening; see {self.log_path}:\n{self.output()}")

    def wait_until_listening(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            output = self.output()
            if self.proc.poll() is not None or f"Unable to bind to port 127.0.0.1:{self.port}" in output:
                return False
            if f"Listening on 127.0.0.1:{self.port}" in output:
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                        if self.greets:
                            s.settimeout(5)
                            s.recv(200)  # the session ends when we close
                    return True
                except OSError:
                    pass
            time.sleep(0.05)
        return False

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        """SIGINT, then the exit code (None when it had to be killed)."""
        code = None
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                code = self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        elif self.proc:
            code = self.proc.returncode
        if self.log:
            self.log.close()
        return code


def program_and_artifacts(args):
    """qvx32's path and the artefacts folder from the command line and the
    environment; returns them with the arguments left for unittest.  The
    first argument is the program unless QVX32 names it and the argument is
    a test name ("ftp_e2e.py Curl")."""
    program = ""
    if args and not args[0].startswith("-") and (os.path.isfile(args[0]) or not os.environ.get("QVX32")):
        program = args.pop(0)
    program = program or os.environ.get("QVX32", "")
    program = os.path.abspath(program) if program else ""
    artifacts = os.environ.get("QV_E2E_ARTIFACTS") or os.path.join(
        os.path.dirname(os.path.dirname(program)), "tests", "e2e", "artifacts")
    return program, os.path.abspath(artifacts), args


def run_tests(module):
    """Sets the test module's QVX32 and ARTIFACTS (program_and_artifacts)
    and runs its tests with the arguments left."""
    module.QVX32, module.ARTIFACTS, args = program_and_artifacts(sys.argv[1:])
    print(f"artefacts: {module.ARTIFACTS}", file=sys.stderr)
    unittest.main(module=module, argv=[sys.argv[0]] + args, verbosity=2)


def start_server(server_class, program, artifacts, log_name, clients=()):
    """A started server_class(program, log path), once qvx32 and the client
    programs are known to be there; the console output goes to log_name in
    the artefacts folder. A server that does not start leaves no folder
    behind."""
    if not program or not os.path.isfile(program) or not os.access(program, os.X_OK):
        raise RuntimeError(f"qvx32 not found: give its path in QVX32 or as the first argument (got {program!r})")
    for client in clients:
        if not shutil.which(client):
            raise RuntimeError(f"{client} is needed: apt-get install {client}")
    os.makedirs(artifacts, exist_ok=True)
    server = server_class(program, os.path.join(artifacts, log_name))
    try:
        server.start()
    except Exception:
        shutil.rmtree(server.root, ignore_errors=True)
        raise
    return server


def stop_server(server):
    """Stops the server and removes its folders (the console output stays);
    fails unless qvx32 exited 0 after SIGINT."""
    code = server.stop()
    shutil.rmtree(server.root, ignore_errors=True)
    print(f"server console output: {server.log_path}", file=sys.stderr)
    if code != 0:
        raise AssertionError(f"qvx32 did not exit 0 after SIGINT (got {code}); see {server.log_path}")
