#!/usr/bin/env python3
"""reaper.py PROGRAM [ARGUMENT...]: runs PROGRAM as a child and becomes the
reaper of every process below it (PR_SET_CHILD_SUBREAPER), so that the CPU
time of descendants whose parent exits first (vsftpd's unprivileged session
processes) still ends up in this process's children's times.  TERM, INT and
HUP are passed on to PROGRAM; exits with PROGRAM's status once it ends.
"""
import ctypes
import os
import signal
import sys

PR_SET_CHILD_SUBREAPER = 36

if len(sys.argv) < 2:
    raise SystemExit(__doc__)
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
    raise SystemExit("prctl(PR_SET_CHILD_SUBREAPER): " + os.strerror(ctypes.get_errno()))

main = os.fork()
if main == 0:
    try:
        os.execvp(sys.argv[1], sys.argv[1:])
    finally:
        os._exit(127)


def forward(signum, _frame):
    try:
        os.kill(main, signum)
    except ProcessLookupError:
        pass


for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    signal.signal(s, forward)

while True:
    try:
        pid, status = os.waitpid(-1, 0)
    except ChildProcessError:
        sys.exit(0)
    if pid == main:
        sys.exit(os.waitstatus_to_exitcode(status))
