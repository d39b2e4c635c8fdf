#!/usr/bin/env python3
"""The load generator of bench/gopher_compare.sh (standard library only).

  gopher_client.py check PORT MENU FILE EXPECTED_FILE MIN_LINES
      fetches the menu selector MENU (at least MIN_LINES item lines, each
      with its TAB-separated fields) and the file selector FILE (compared
      with the bytes of EXPECTED_FILE); prints ok=1, or ok=0 error=...
  gopher_client.py load PORT CLIENTS SECONDS SELECTOR...
      CLIENTS processes, each fetching the selectors in turn (one connection
      per request, read until the server closes) for SECONDS; prints
      rate=<requests/s> done=<requests> bytes=<received> errors=<n>
      [error=<first error>]
"""
import multiprocessing
import socket
import sys
import time

TIMEOUT = 10  # seconds for one connect or receive


def fetch(port, selector):
    with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as s:
        s.sendall(selector.encode() + b"\r\n")
        with s.makefile("rb") as reply:
            return reply.read()


def check(port, menu, file, expected_path, min_lines):
    lines = [l for l in fetch(port, menu).split(b"\r\n") if l.count(b"\t") >= 3]
    if len(lines) < min_lines:
        return f"ok=0 error=menu {menu!r} has {len(lines)} item lines, expected {min_lines} or more"
    with open(expected_path, "rb") as f:
        expected = f.read()
    got = fetch(port, file)
    if got != expected:
        return f"ok=0 error=file {file!r}: {len(got)} bytes, not the {len(expected)} expected"
    return "ok=1"


def worker(port, seconds, selectors, offset, results):
    done = received = errors = 0
    first_error = ""
    i = offset
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            data = fetch(port, selectors[i % len(selectors)])
            if not data:
                raise OSError("empty reply")
            received += len(data)
            done += 1
        except OSError as e:
            errors += 1
            first_error = first_error or f"{selectors[i % len(selectors)]!r}: {e}"
        i += 1
    results.put((done, received, errors, first_error))


def load(port, clients, seconds, selectors):
    results = multiprocessing.Queue()
    procs = [multiprocessing.Process(target=worker, args=(port, seconds, selectors, n * 7919, results))
             for n in range(clients)]
    start = time.monotonic()
    for p in procs:
        p.start()
    totals = [results.get(timeout=seconds + 60) for _ in procs]
    elapsed = time.monotonic() - start
    for p in procs:
        p.join()
    done = sum(t[0] for t in totals)
    line = (f"rate={done / elapsed:.1f} done={done} bytes={sum(t[1] for t in totals)} "
            f"errors={sum(t[2] for t in totals)}")
    first = next((t[3] for t in totals if t[3]), "")
    return line + (f" error={first}" if first else "")


def main(args):
    if args[:1] == ["check"] and len(args) == 6:
        print(check(int(args[1]), args[2], args[3], args[4], int(args[5])))
    elif args[:1] == ["load"] and len(args) >= 5:
        print(load(int(args[1]), int(args[2]), float(args[3]), args[4:]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
