#!/usr/bin/env python3
"""The FTP client of bench/ftp_compare.sh (standard library only).

    ftp_client.py greet    PORT
    ftp_client.py check    PORT SMALL_FILE LIST_ENTRIES UPLOAD_USER UPLOAD_PASSWORD UPLOAD_NAME
    ftp_client.py small    PORT COUNT SMALL_FILE
    ftp_client.py sessions PORT WORKERS SECONDS SMALL_FILE
    ftp_client.py list     PORT RUNS LIST_ENTRIES

Every server is on 127.0.0.1 and is reached in passive mode (PASV).  The
served folder holds small.bin (SMALL_FILE is the same bytes, read locally
to compare), the folder list/ with LIST_ENTRIES files, and the writable
folder up/.  Downloads log in as anonymous.  Each command prints one line
of key=value fields (no blanks inside a value; "error" last, the rest of
the line); an exception that stops a measurement is reported in it.
"""
import ftplib
import multiprocessing
import os
import socket
import statistics
import sys
import time

HOST = "127.0.0.1"
TIMEOUT = 15


def report(**fields):
    error = fields.pop("error", "")
    text = " ".join(f"{k}={v}" for k, v in fields.items())
    if error:
        text += " error=" + " ".join(str(error).split())
    print(text, flush=True)


def login(port, user="anonymous", password="bench@localhost"):
    ftp = ftplib.FTP(timeout=TIMEOUT)
    ftp.connect(HOST, port)
    ftp.login(user, password)
    return ftp


def fetch(ftp, command):
    """One transfer over a fresh PASV data connection; the bytes received."""
    conn = ftp.transfercmd(command)
    chunks = []
    try:
        while True:
            b = conn.recv(65536)
            if not b:
                break
            chunks.append(b)
    finally:
        conn.close()
    ftp.voidresp()
    return b"".join(chunks)


def entries_of(listing):
    """Lines of a LIST reply that name an entry (not a "total" line)."""
    return sum(1 for line in listing.split(b"\n")
               if line.strip() and not line.startswith(b"total "))


def greet(port):
    with socket.create_connection((HOST, port), timeout=2) as s:
        line = s.makefile("rb").readline()
    if not line.startswith(b"220"):
        raise SystemExit(f"greeting: {line[:80]!r}")
    print(line.decode("latin-1").strip())


def check(port, small_file, entries, user, password, upload_name):
    """Every operation the runs use, once, with its result compared."""
    expected = open(small_file, "rb").read()
    step = "login"
    try:
        ftp = login(port)
        step = "TYPE I"
        ftp.voidcmd("TYPE I")
        step = "RETR small.bin"
        got = fetch(ftp, "RETR small.bin")
        if got != expected:
            raise RuntimeError(f"{len(got)} bytes, not the {len(expected)} of small.bin")
        step = "LIST /"
        ftp.voidcmd("TYPE A")
        root = fetch(ftp, "LIST")
        if b"small.bin" not in root:
            raise RuntimeError("small.bin missing from the listing of /")
        step = "CWD /list"
        ftp.cwd("/list")
        step = "LIST /list"
        seen = entries_of(fetch(ftp, "LIST"))
        if seen != entries:
            raise RuntimeError(f"{seen} entries, not {entries}")
        step = "QUIT"
        ftp.quit()
        step = f"login as {user}"
        ftp = login(port, user, password)
        step = "CWD /up"
        ftp.cwd("/up")
        step = f"STOR {upload_name}"
        ftp.voidcmd("TYPE I")
        conn = ftp.transfercmd("STOR " + upload_name)
        conn.sendall(expected)
        conn.close()
        ftp.voidresp()
        step = "QUIT"
        ftp.quit()
    except Exception as e:  # noqa: BLE001 - reported, not hidden
        report(ok=0, error=f"{step}: {type(e).__name__}: {e}")
        return 1
    report(ok=1)
    return 0


def small(port, count, small_file):
    """COUNT RETRs of small.bin in one session, each with its own PASV."""
    size = os.path.getsize(small_file)
    times, errors, first = [], 0, ""
    start = time.perf_counter()
    try:
        ftp = login(port)
        ftp.voidcmd("TYPE I")
        start = time.perf_counter()
        for _ in range(count):
            t = time.perf_counter()
            got = fetch(ftp, "RETR small.bin")
            times.append(time.perf_counter() - t)
            if len(got) != size:
                errors += 1
                first = first or f"{len(got)} bytes instead of {size}"
        ftp.quit()
    except Exception as e:  # noqa: BLE001
        errors += 1
        first = first or f"after {len(times)} RETRs: {type(e).__name__}: {e}"
    seconds = time.perf_counter() - start
    done = len(times)
    ms = sorted(x * 1000 for x in times) or [0.0]
    report(done=done, seconds=f"{seconds:.3f}", rate=f"{done / seconds:.1f}" if done else "0",
           p50=f"{statistics.median(ms):.2f}", p99=f"{ms[min(len(ms) - 1, int(len(ms) * 0.99))]:.2f}",
           errors=errors, error=first)
    return 0 if done == count and errors == 0 else 1


def session_worker(port, size, start_at, stop_at, out):
    done, errors, first = 0, 0, ""
    delay = start_at - time.monotonic()
    if delay > 0:
        time.sleep(delay)
    last = time.monotonic()
    while time.monotonic() < stop_at:
        try:
            ftp = login(port)
            ftp.voidcmd("TYPE A")
            fetch(ftp, "LIST")
            ftp.voidcmd("TYPE I")
            got = fetch(ftp, "RETR small.bin")
            ftp.quit()
            if len(got) != size:
                raise RuntimeError(f"{len(got)} bytes instead of {size}")
            done += 1
        except Exception as e:  # noqa: BLE001
            errors += 1
            first = first or f"{type(e).__name__}: {e}"
            if errors >= 50:
                break
        last = time.monotonic()
    out.put((done, errors, last, first))


def sessions(port, workers, seconds, small_file):
    """WORKERS processes, each opening sessions one after another for SECONDS:
    login, LIST of /, RETR small.bin, QUIT."""
    size = os.path.getsize(small_file)
    out = multiprocessing.Queue()
    start_at = time.monotonic() + 0.3 + 0.02 * workers
    stop_at = start_at + seconds
    procs = [multiprocessing.Process(target=session_worker, args=(port, size, start_at, stop_at, out))
             for _ in range(workers)]
    for p in procs:
        p.start()
    results = [out.get(timeout=seconds + 120) for _ in procs]
    for p in procs:
        p.join()
    done = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    elapsed = max(r[2] for r in results) - start_at
    first = next((r[3] for r in results if r[3]), "")
    report(done=done, seconds=f"{elapsed:.3f}", rate=f"{done / elapsed:.1f}" if elapsed > 0 else "0",
           errors=errors, error=first)
    return 0 if errors == 0 and done > 0 else 1


def listing(port, runs, entries):
    """RUNS LISTs of /list in one session (after one unmeasured LIST)."""
    times, errors, first = [], 0, ""
    try:
        ftp = login(port)
        ftp.cwd("/list")
        ftp.voidcmd("TYPE A")
        fetch(ftp, "LIST")
        for _ in range(runs):
            t = time.perf_counter()
            data = fetch(ftp, "LIST")
            times.append(time.perf_counter() - t)
            seen = entries_of(data)
            if seen != entries:
                errors += 1
                first = first or f"{seen} entries instead of {entries}"
        ftp.quit()
    except Exception as e:  # noqa: BLE001
        errors += 1
        first = first or f"after {len(times)} LISTs: {type(e).__name__}: {e}"
    ms = [x * 1000 for x in times] or [0.0]
    report(done=len(times), ms=f"{statistics.median(ms):.2f}", min=f"{min(ms):.2f}", max=f"{max(ms):.2f}",
           errors=errors, error=first)
    return 0 if len(times) == runs and errors == 0 else 1


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    what, port, rest = argv[1], int(argv[2]), argv[3:]
    if what == "greet":
        greet(port)
        return 0
    if what == "check":
        return check(port, rest[0], int(rest[1]), rest[2], rest[3], rest[4])
    if what == "small":
        return small(port, int(rest[0]), rest[1])
    if what == "sessions":
        return sessions(port, int(rest[0]), float(rest[1]), rest[2])
    if what == "list":
        return listing(port, int(rest[0]), int(rest[1]))
    raise SystemExit(f"unknown command {what}\n{__doc__}")


if __name__ == "__main__":
    multiprocessing.set_start_method("fork")
    sys.exit(main(sys.argv))
