#!/usr/bin/env python3
"""Talk relay broadcast throughput and latency.

Starts qvx32 with one talk server on loopback, connects CLIENTS reading
clients and STALLED clients that never read, lets one reader send LINES chat
lines, and measures how fast every line reaches every reader.  Prints
broadcast lines per second (lines relayed to all readers), delivered lines
per second (lines x readers), and the latency of a line from its sending to
its arrival at a reader (median, 99th percentile and worst, over every line
at every reader).  Stalled clients fill their buffers and are dropped; they
must not slow the readers down.

    bench/talk_broadcast.py [--qvx32 build/service/qvx32] [--clients 16] [--stalled 0] [--lines 20000]
                            [--batch 100] [--pace-ms 0]

A paced run shows what a line costs a reader while stalled clients sit
among the readers, for example
    bench/talk_broadcast.py --clients 180 --stalled 20 --lines 3000 --batch 10 --pace-ms 10
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
    ap.add_argument("--stalled", type=int, default=0)
    ap.add_argument("--batch", type=int, default=100, help="lines the sender sends at once")
    ap.add_argument("--pace-ms", type=float, default=0,
                    help="pause between batches; with a pace the latency is that of a line, not of a backlog")
    ap.add_argument("--lines", type=int, default=20000)
    args = ap.parse_args()

    port = free_port()
    with tempfile.TemporaryDirectory() as folder:
        proc = start_server(args.qvx32, port, folder)
        try:
            stalled = []
            for _ in range(args.stalled):
                s = socket.socket()
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                s.connect(("127.0.0.1", port))
                stalled.append(s)
            clients = [socket.create_connection(("127.0.0.1", port)) for _ in range(args.clients)]
            marker = b"\r\n:Somebody@127.0.0.1:"
            counts = [0] * len(clients)
            sel = selectors.DefaultSelector()
            for i, c in enumerate(clients):
                c.setblocking(False)
                sel.register(c, selectors.EVENT_READ, i)
            time.sleep(0.5)

            # Lines go out in batches; each batch's sending time is noted so
            # that arrivals can be turned into latencies.
            batch = args.batch
            sent_at = []

            def send_all():
                sender = clients[0]
                sender.setblocking(True)
                for first in range(0, args.lines, batch):
                    payload = b"".join(b"line %06d of the benchmark\r\n" % n
                                       for n in range(first, min(first + batch, args.lines)))
                    sent_at.append(time.time())
                    sender.sendall(payload)
                    if args.pace_ms:
                        time.sleep(args.pace_ms / 1000)

            start = time.time()
            threading.Thread(target=send_all, daemon=True).start()
            tails = [b""] * len(clients)
            latencies = []
            deadline = start + 120
            while min(counts) < args.lines and time.time() < deadline:
                for key, _ in sel.select(timeout=1):
                    i = key.data
                    now = time.time()
                    data = tails[i] + key.fileobj.recv(1 << 16)
                    arrived = data.count(marker[1:])
                    for n in range(counts[i], counts[i] + arrived):
                        if n // batch < len(sent_at):
                            latencies.append(now - sent_at[n // batch])
                    counts[i] += arrived
                    tails[i] = data[-len(marker):]
            elapsed = time.time() - start
        finally:
            proc.send_signal(2)
            proc.wait(timeout=15)
    if min(counts) < args.lines:
        sys.exit(f"only {min(counts)} of {args.lines} lines reached every client")
    latencies.sort()
    pick = lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000
    print(f"clients={args.clients} stalled={args.stalled} lines={args.lines} seconds={elapsed:.2f}")
    print(f"broadcast lines/s: {args.lines / elapsed:,.0f}")
    print(f"delivered lines/s: {args.lines * args.clients / elapsed:,.0f}")
    print(f"latency ms: median {pick(0.5):.1f}, p99 {pick(0.99):.1f}, worst {latencies[-1] * 1000:.1f}")


if __name__ == "__main__":
    main()
