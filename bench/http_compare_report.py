#!/usr/bin/env python3
"""Helpers of bench/http_compare.sh: read the output of wrk and ab, read
connection counters (qvx32's status page, nginx's stub_status, the kernel's
passive TCP opens) and print the per-case lines and the Markdown summary.

Subcommands (each prints one line of tab-separated fields or a report):
    wrk FILE                 requests rps p50_ms p99_ms errors non2xx
    ab FILE                  requests rps p50_ms p99_ms errors non2xx
    hits FILE                connections accepted, from qvx32's /~status page
    nginx-accepts FILE       connections accepted, from nginx's stub_status
    passive-opens            the kernel's TCP PassiveOpens counter
    check MODE CONNS REQUESTS ACC_SERVER ACC_KERNEL
                             prints a warning when the connections accepted
                             do not fit the mode (close: one per request,
                             keepalive: far fewer), else nothing
    case RESULTS CASE        prints the lines of one case (all servers)
    summary RESULTS          prints the Markdown summary tables and how the
                             runs meet the targets (qvx32-diag >= 0.9 x qvx32
                             in req/s, qvx32-log >= 0.85 x qvx32 in req/s and
                             (qvx32-log/qvx32) / (nginx-log/nginx) >= 1,
                             qvx32's p99 <= 2 x nginx's)
    logged RESULTS SERVER LINES LOGFILE WARMUP_FILE
                             prints the lines SERVER wrote to its access log
                             next to the requests wrk and ab reported for it
                             (all runs and the warm-up in WARMUP_FILE)
RESULTS is the tab-separated file that http_compare.sh appends one row to
per run, with the columns of COLUMNS below.
"""
import re
import sys

COLUMNS = ["kind", "case", "file", "mode", "conns", "server", "requests", "rps", "p50", "p99",
           "errors", "non2xx", "acc_server", "acc_kernel", "warning"]
OURS, REFERENCE = "qvx32", "nginx"
DIAG = "qvx32-diag"      # qvx32 with diagnostics on (view_commands=1), console to a file
FLOOR = "thread_floor"   # one blocking thread per connection, fixed 1 KiB page from memory
LOGGED = "qvx32-log"     # qvx32 writing the access log qvx.log
REF_LOGGED = "nginx-log" # nginx writing its access log
SERVER_ORDER = [OURS, DIAG, LOGGED, REFERENCE, REF_LOGGED, "lighttpd", FLOOR]
DIAG_MIN = 0.9           # qvx32-diag/qvx32 req/s should not fall below this
LOG_MIN = 0.85           # qvx32-log/qvx32 req/s should not fall below this
LOG_REL_MIN = 1.0        # (qvx32-log/qvx32) / (nginx-log/nginx) should not fall below this
P99_MAX = 2.0            # qvx32/nginx p99 should not rise above this
FLOOR_NOTE = ("%s answers a fixed 1 KiB page from memory whatever the path, so it runs in the "
              "file1k cases only; its ratio to %s is the model's limit" % (FLOOR, REFERENCE))


def to_ms(value, unit):
    value = float(value)
    return value * {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0, "h": 3600000.0}[unit]


def parse_wrk(text):
    out = {"requests": "", "rps": "", "p50": "", "p99": "", "errors": "0", "non2xx": "0"}
    m = re.search(r"(\d+) requests in", text)
    if m:
        out["requests"] = m.group(1)
    m = re.search(r"Requests/sec:\s*([\d.]+)", text)
    if m:
        out["rps"] = "%.1f" % float(m.group(1))
    for pct, key in (("50", "p50"), ("99", "p99")):
        m = re.search(r"^\s*%s(?:\.0+)?%%\s+([\d.]+)(us|ms|s|m|h)\s*$" % pct, text, re.M)
        if m:
            out[key] = "%.3f" % to_ms(m.group(1), m.group(2))
    m = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if m:
        out["errors"] = "connect %s, read %s, write %s, timeout %s" % m.groups()
        if sum(int(g) for g in m.groups()) == 0:
            out["errors"] = "0"
    m = re.search(r"Non-2xx or 3xx responses:\s*(\d+)", text)
    if m:
        out["non2xx"] = m.group(1)
    return out


def parse_ab(text):
    out = {"requests": "", "rps": "", "p50": "", "p99": "", "errors": "0", "non2xx": "0"}
    m = re.search(r"Complete requests:\s*(\d+)", text)
    if m:
        out["requests"] = m.group(1)
    m = re.search(r"Requests per second:\s*([\d.]+)", text)
    if m:
        out["rps"] = "%.1f" % float(m.group(1))
    for pct, key in (("50", "p50"), ("99", "p99")):
        m = re.search(r"^\s*%s%%\s+(\d+)" % pct, text, re.M)
        if m:
            out[key] = "%.3f" % float(m.group(1))
    failed = []
    m = re.search(r"Failed requests:\s*(\d+)", text)
    if m and int(m.group(1)):
        failed.append("failed %s" % m.group(1))
        m2 = re.search(r"\(Connect: (\d+), Receive: (\d+), Length: (\d+), Exceptions: (\d+)\)", text)
        if m2:
            failed[-1] += " (connect %s, receive %s, length %s, exceptions %s)" % m2.groups()
    if failed:
        out["errors"] = "; ".join(failed)
    m = re.search(r"Non-2xx responses:\s*(\d+)", text)
    if m:
        out["non2xx"] = m.group(1)
    return out


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def rows_of(path):
    rows = []
    for line in read(path).splitlines():
        if not line.strip():
            continue
        fields = line.split("\t")
        fields += [""] * (len(COLUMNS) - len(fields))
        rows.append(dict(zip(COLUMNS, fields)))
    return rows


def num(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def ratio(a, b):
    a, b = num(a), num(b)
    if a is None or not b:
        return "n/a"
    return "%.2f" % (a / b)


def flagged(text, bad, label):
    """text (a ratio) followed by label when bad(its value) holds."""
    v = num(text)
    return text + (" (%s)" % label if v is not None and bad(v) else "")


def diag_ratio(o, d):
    return flagged(ratio(d["rps"], o["rps"]), lambda v: v < DIAG_MIN, "below %.1f" % DIAG_MIN)


def log_ratio(o, lg):
    return flagged(ratio(lg["rps"], o["rps"]), lambda v: v < LOG_MIN, "below %.2f" % LOG_MIN)


def log_cost_ratio(o, lg, n, nl):
    """(qvx32-log/qvx32) / (nginx-log/nginx): how much of its speed qvx32 keeps
    when logging, next to what nginx keeps; "n/a" when a rate is missing."""
    rates = [num(r["rps"]) for r in (lg, o, nl, n)]
    if None in rates or not all(rates[1:]):
        return "n/a"
    v = rates[0] / rates[1] / (rates[2] / rates[3])
    return flagged("%.2f" % v, lambda x: x < LOG_REL_MIN, "below %.1f" % LOG_REL_MIN)


def p99_ratio(o, n):
    return flagged(ratio(o["p99"], n["p99"]), lambda v: v > P99_MAX, "above %.0f" % P99_MAX)


def fmt_rps(text):
    v = num(text)
    return "n/a" if v is None else "{:,.0f}".format(v)


def fmt_ms(text):
    v = num(text)
    if v is None:
        return "n/a"
    return "%.2f" % v if v < 10 else "%.1f" % v if v < 100 else "%.0f" % v


def servers_in(rows):
    seen = {r["server"] for r in rows}
    return [s for s in SERVER_ORDER if s in seen] + sorted(seen - set(SERVER_ORDER))


def conn_text(r):
    parts = []
    reqs = num(r["requests"])
    for key, label in (("acc_server", "server"), ("acc_kernel", "kernel")):
        v = num(r[key])
        if v is not None and reqs:
            parts.append("%s %.3f" % (label, v / reqs))
    return ("conns/req " + ", ".join(parts)) if parts else "conns/req n/a"


def print_case(path, case):
    rows = [r for r in rows_of(path) if r["case"] == case]
    if not rows:
        return
    by = {r["server"]: r for r in rows}
    ref = by.get(REFERENCE)
    for s in servers_in(rows):
        r = by[s]
        line = "  %-12s %10s req/s  p50 %8s ms  p99 %8s ms  %s" % (
            s, fmt_rps(r["rps"]), fmt_ms(r["p50"]), fmt_ms(r["p99"]), conn_text(r))
        if r["errors"] not in ("", "0"):
            line += "  errors: " + r["errors"]
        if r["non2xx"] not in ("", "0"):
            line += "  non-2xx: " + r["non2xx"]
        print(line)
    ours, diag, floor = by.get(OURS), by.get(DIAG), by.get(FLOOR)
    logged, ref_logged = by.get(LOGGED), by.get(REF_LOGGED)
    if ours and ref:
        print("  %s/%s%s: req/s %s, p99 %s" % (
            OURS, REFERENCE, " (autoindex)" if rows[0]["kind"] == "ab" else "",
            ratio(ours["rps"], ref["rps"]), p99_ratio(ours, ref)))
    if ours and diag:
        print("  %s/%s: req/s %s, p99 %s" % (DIAG, OURS, diag_ratio(ours, diag), ratio(diag["p99"], ours["p99"])))
    if ours and logged:
        lr = log_ratio(ours, logged)
        line = "  %s / %s: req/s %s%s, p99 %s" % (
            LOGGED, OURS, lr, "" if "below" in lr else " (target >= %.2f)" % LOG_MIN, ratio(logged["p99"], ours["p99"]))
        if ref and ref_logged:
            cost = log_cost_ratio(ours, logged, ref, ref_logged)
            line += "  (%s/%s: req/s %s)  (%s/%s) / (%s/%s): %s%s" % (
                REF_LOGGED, REFERENCE, ratio(ref_logged["rps"], ref["rps"]), LOGGED, OURS, REF_LOGGED, REFERENCE,
                cost, "" if "below" in cost else " (target >= %.1f)" % LOG_REL_MIN)
        print(line)
    elif ref and ref_logged:
        print("  (%s/%s: req/s %s)" % (REF_LOGGED, REFERENCE, ratio(ref_logged["rps"], ref["rps"])))
    if floor and ref:
        print("  %s/%s: req/s %s (the model's limit; fixed 1 KiB page from memory, any path)%s" % (
            FLOOR, REFERENCE, ratio(floor["rps"], ref["rps"]),
            ", %s/%s: %s" % (OURS, FLOOR, ratio(ours["rps"], floor["rps"])) if ours else ""))
    for s in servers_in(rows):
        if by[s]["warning"]:
            print("  WARNING %s: %s" % (s, by[s]["warning"]))


def summary(path):
    rows = rows_of(path)
    if not rows:
        print("(no results)")
        return
    for kind, title in (("wrk", "Static files (wrk, HTTP/1.0)"),
                        ("ab", "Folder listing, 200 files (ab, HTTP/1.0, 16 connections; nginx with autoindex)")):
        krows = [r for r in rows if r["kind"] == kind]
        if not krows:
            continue
        servers = servers_in(krows)
        have_ratio = OURS in servers and REFERENCE in servers
        have_diag = OURS in servers and DIAG in servers
        have_floor = FLOOR in servers and REFERENCE in servers
        have_log = OURS in servers and LOGGED in servers
        have_ref_log = REFERENCE in servers and REF_LOGGED in servers
        cases = []
        for r in krows:
            if r["case"] not in cases:
                cases.append(r["case"])
        print("### " + title)
        print()
        head = ["file", "mode", "conns"] + ["%s req/s" % s for s in servers]
        head += ["%s p50 / p99 ms" % s for s in servers]
        if have_ratio:
            head += ["req/s %s/%s" % (OURS, REFERENCE), "p99 %s/%s" % (OURS, REFERENCE)]
        if have_diag:
            head += ["req/s %s/%s" % (DIAG, OURS)]
        if have_log:
            head += ["req/s %s/%s" % (LOGGED, OURS)]
        if have_ref_log:
            head += ["(req/s %s/%s)" % (REF_LOGGED, REFERENCE)]
        if have_log and have_ref_log:
            head += ["(%s/%s) / (%s/%s)" % (LOGGED, OURS, REF_LOGGED, REFERENCE)]
        if have_floor:
            head += ["req/s %s/%s (the model's limit)" % (FLOOR, REFERENCE)]
        print("| " + " | ".join(head) + " |")
        print("|" + "|".join("---" if i < 2 else "---:" for i in range(len(head))) + "|")
        notes = []
        for case in cases:
            by = {r["server"]: r for r in krows if r["case"] == case}
            first = next(iter(by.values()))
            line = [first["file"], first["mode"], first["conns"]]
            for s in servers:
                r = by.get(s)
                cell = fmt_rps(r["rps"]) if r else "-"
                if r and (r["warning"] or r["errors"] not in ("", "0") or r["non2xx"] not in ("", "0")):
                    notes.append("%s, %s: %s" % (case, s, "; ".join(
                        x for x in (r["warning"],
                                    "" if r["errors"] in ("", "0") else "socket errors: " + r["errors"],
                                    "" if r["non2xx"] in ("", "0") else "non-2xx: " + r["non2xx"]) if x)))
                    cell += " [%d]" % len(notes)
                line.append(cell)
            for s in servers:
                r = by.get(s)
                line.append("%s / %s" % (fmt_ms(r["p50"]), fmt_ms(r["p99"])) if r else "-")
            if have_ratio:
                o, n = by.get(OURS), by.get(REFERENCE)
                line.append(ratio(o["rps"], n["rps"]) if o and n else "-")
                line.append(p99_ratio(o, n) if o and n else "-")
            if have_diag:
                o, d = by.get(OURS), by.get(DIAG)
                line.append(diag_ratio(o, d) if o and d else "-")
            o, lg, n, nl = by.get(OURS), by.get(LOGGED), by.get(REFERENCE), by.get(REF_LOGGED)
            if have_log:
                line.append(log_ratio(o, lg) if o and lg else "-")
            if have_ref_log:
                line.append(ratio(nl["rps"], n["rps"]) if n and nl else "-")
            if have_log and have_ref_log:
                line.append(log_cost_ratio(o, lg, n, nl) if o and lg and n and nl else "-")
            if have_floor:
                f, n = by.get(FLOOR), by.get(REFERENCE)
                line.append(ratio(f["rps"], n["rps"]) if f and n else "-")
            print("| " + " | ".join(line) + " |")
        print()
        if have_floor:
            print(FLOOR_NOTE + ".")
            print()
        for i, n in enumerate(notes, 1):
            print("[%d] %s  " % (i, n))
        if notes:
            print()
    targets(rows)


def targets(rows):
    """How the runs meet the targets: qvx32-diag >= 0.9 x qvx32 in req/s and
    qvx32's p99 <= 2 x nginx's in every case; the listing against autoindex."""
    by_case = {}
    for r in rows:
        by_case.setdefault(r["case"], {})[r["server"]] = r
    lines = []

    def pair(a, b, key):
        """by -> by[a][key] / by[b][key], or None when either is missing."""
        def value(by):
            if a in by and b in by and num(by[a][key]) is not None and num(by[b][key]):
                return num(by[a][key]) / num(by[b][key])
            return None
        return value

    def sweep(a, b, key, label, bad):
        sweep_of(pair(a, b, key), label, bad)

    def sweep_of(value, label, bad):
        vals = [(value(by), case) for case, by in by_case.items() if value(by) is not None]
        if not vals:
            return
        lo, hi = min(vals), max(vals)
        text = "- %s: %.2f (%s) to %.2f (%s) over %d cases" % (label, lo[0], lo[1], hi[0], hi[1], len(vals))
        if bad:  # None: shown beside a target, without one of its own
            worst = [c for v, c in vals if bad(v)]
            text += "; " + ("missed in: " + ", ".join(worst) if worst else "met in all")
        lines.append(text)

    sweep(DIAG, OURS, "rps", "req/s %s/%s, target >= %.1f" % (DIAG, OURS, DIAG_MIN), lambda v: v < DIAG_MIN)
    sweep(LOGGED, OURS, "rps", "req/s %s/%s, target >= %.2f" % (LOGGED, OURS, LOG_MIN), lambda v: v < LOG_MIN)
    sweep(REF_LOGGED, REFERENCE, "rps", "(req/s %s/%s, for comparison)" % (REF_LOGGED, REFERENCE), None)
    ours_log, ref_log = pair(LOGGED, OURS, "rps"), pair(REF_LOGGED, REFERENCE, "rps")

    def log_cost(by):
        o, r = ours_log(by), ref_log(by)
        return o / r if o is not None and r else None

    sweep_of(log_cost, "req/s (%s/%s) / (%s/%s), target >= %.1f" % (LOGGED, OURS, REF_LOGGED, REFERENCE, LOG_REL_MIN),
             lambda v: v < LOG_REL_MIN)
    sweep(OURS, REFERENCE, "p99", "p99 %s/%s, target <= %.0f" % (OURS, REFERENCE, P99_MAX), lambda v: v > P99_MAX)
    listing = by_case.get("list-c16", {})
    if OURS in listing and REFERENCE in listing:
        lines.append("- folder listing req/s %s/%s (autoindex): %s" % (
            OURS, REFERENCE, ratio(listing[OURS]["rps"], listing[REFERENCE]["rps"])))
    if lines:
        print("### Targets")
        print()
        print("\n".join(lines))
        print()


def logged(path, server, lines, logfile, warmup_file):
    """The access log's lines next to the requests the load generators
    reported for SERVER.  The servers also log the status page reads around
    every run and the checks at start, and may log responses that were under
    way when a run ended, so a few more lines than requests are expected."""
    rows = [r for r in rows_of(path) if r["server"] == server]
    runs = sum(num(r["requests"]) or 0 for r in rows)
    try:
        warm = num(parse_wrk(read(warmup_file))["requests"]) or 0
    except OSError:
        warm = 0
    lines = int(lines)
    total = runs + warm
    print("%s wrote %s lines to %s; wrk and ab reported %s requests (%s in %d runs + %s in the warm-up)%s" % (
        server, "{:,}".format(lines), logfile, "{:,.0f}".format(total), "{:,.0f}".format(runs), len(rows),
        "{:,.0f}".format(warm),
        ": %.4f lines per request, %+d" % (lines / total, lines - total) if total else ""))
    # the extra lines: 2 status page reads per run, the start-up checks, and
    # at most one response per connection still open when a run ended
    slack = sum(2 + int(num(r["conns"]) or 0) for r in rows) + 20
    if total and lines < total:
        print("WARNING: %s logged %d fewer lines than the requests reported" % (server, total - lines))
    elif total and lines > total + slack:
        print("WARNING: %s logged %d more lines than the requests reported (expected at most %d more)"
              % (server, lines - total, slack))


def check(mode, conns, requests, acc_server, acc_kernel):
    conns, requests = int(conns), num(requests)
    if not requests:
        return "no request completed"
    problems = []
    for label, acc in (("server counter", num(acc_server)), ("kernel passive opens", num(acc_kernel))):
        if acc is None:
            continue
        r = acc / requests
        if mode == "keepalive" and r > 0.1:
            problems.append("keep-alive run but %s shows %.3f connections per request "
                            "(%d connections for %d requests): connections are not kept" % (label, r, acc, requests))
        elif mode != "keepalive" and (acc < 0.95 * requests or acc > 1.05 * requests + conns + 2):
            problems.append("close run but %s shows %.3f connections per request (%d for %d requests)"
                            % (label, r, acc, requests))
    s, k = num(acc_server), num(acc_kernel)
    # the kernel counter is system-wide: other loopback traffic on the host
    # adds to it, so only a difference that matters next to the requests counts
    if s is not None and k is not None and abs(s - k) > max(0.05 * max(s, k), 0.01 * requests) + conns + 2:
        problems.append("server counter (%d) and kernel passive opens (%d) disagree" % (s, k))
    return "; ".join(problems)


def main():
    cmd = sys.argv[1]
    if cmd in ("wrk", "ab"):
        out = (parse_wrk if cmd == "wrk" else parse_ab)(read(sys.argv[2]))
        print("\t".join(out[k] for k in ("requests", "rps", "p50", "p99", "errors", "non2xx")))
    elif cmd == "hits":
        m = re.search(r"Hits:\s*</td>\s*<td[^>]*>\s*(\d+)", read(sys.argv[2]), re.I)
        print(m.group(1) if m else "")
    elif cmd == "nginx-accepts":
        m = re.search(r"server accepts handled requests\s+(\d+)\s+(\d+)\s+(\d+)", read(sys.argv[2]))
        print(m.group(1) if m else "")
    elif cmd == "passive-opens":
        lines = [l.split() for l in read("/proc/net/snmp").splitlines() if l.startswith("Tcp:")]
        print(lines[1][lines[0].index("PassiveOpens")])
    elif cmd == "check":
        print(check(*sys.argv[2:7]))
    elif cmd == "case":
        print_case(sys.argv[2], sys.argv[3])
    elif cmd == "summary":
        summary(sys.argv[2])
    elif cmd == "logged":
        logged(*sys.argv[2:7])
    else:
        sys.exit("unknown subcommand " + cmd)


if __name__ == "__main__":
    main()
