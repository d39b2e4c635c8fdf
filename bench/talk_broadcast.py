#!/usr/bin/env python3
"""Talk relay broadcast throughput.

Starts qvx32 with one talk server on loopback, connects CLIENTS clients, lets
one of them send LINES chat lines, and measures how fast every line reaches
every client.  Prints broadcast lines per second (lines relayed to all
clients) and delivered lines per second (lines x clients).

    bench/talk_broadcast.py [--qvx32 build/service/qvx32] [--clients 16] [--lines 20000]
"""
import argparse
import os
import selectors
import socket
import subprocess
import sys
import tempfile
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(qvx32, port, folder):
    etc, run, logs = (os.path.join(folder, d) for d in ("etc", "run", "logs"))
    for d in (etc, run, logs):
        os.makedirs(d)
    with open(os.path.join(etc, "quorvane.ini"), "w") as f:
        f.write(f"[Options]\nlogdir={logs}/\n[Multi]\nserver1=talk\nip1=127.0.0.1\nport1={port}\nserver2=none\n")
    env = dict(os.environ, QUORVANE_ETC=etc, QUORVANE_RUN=run)
    proc = subprocess.Popen([qvx32, "-debug"], env=env, stdout=subprocess.PIPE)
    deadline = time.time() + 10
    seen = b""
    while b"servers started up OK." not in seen:
        if time.time() > deadline:
            proc.kill()
            sys.exit("qvx32 did not start")
        seen += proc.stdout.read1(4096)
    threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()  # keep its stdout drained
    return proc


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qvx32", default="build/service/qvx32")
    ap.add_argument("--clients", type=int, default=16)
    ap.add_argument("--lines", type=int, default=20000)
    args = ap.parse_args()

    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        proc = start_server(args.qvx32, port, folder)
        try:
            clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(args.clients)]
            marker = b"\r\n:Somebody@127.0.0.1:"
            counts = [0] * len(clients)
            sel = selectors.DefaultSelector()
            for i, c in enumerate(clients):
                c.setblocking(False)
                sel.register(c, selectors.EVENT_READ, i)
            time.sleep(0.5)

            def send_all():
                sender = clients[0]
                payload = b"".join(b"line %06d of the benchmark\r\n" % n for n in range(args.lines))
                sender.setblocking(True)
                sender.sendall(payload)

            start = time.time()
            threading.Thread(target=send_all, daemon=True).start()
            tails = [b""] * len(clients)
            deadline = start + 120
            while min(counts) < args.lines and time.time() < deadline:
                for key, _ in sel.select(timeout=1):
                    i = key.data
                    data = tails[i] + key.fileobj.recv(1 << 16)
                    counts[i] += data.count(marker[1:])
                    tails[i] = data[-len(marker):]
            elapsed = time.time() - start
        finally:
            proc.send_signal(2)
            proc.wait(timeout=15)
    if min(counts) < args.lines:
        sys.exit(f"only {min(counts)} of {args.lines} lines reached every client")
    print(f"clients={args.clients} lines={args.lines} seconds={elapsed:.2f}")
    print(f"broadcast lines/s: {args.lines / elapsed:,.0f}")
    print(f"delivered lines/s: {args.lines * args.clients / elapsed:,.0f}")


if __name__ == "__main__":
    main()
