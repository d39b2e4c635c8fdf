#!/usr/bin/env bash
# What an extension library costs against a static file: the same 1 KiB of
# plain text from one qvx32, once made by an extension library and once read
# from a file, measured with wrk (HTTP/1.0 requests from a small Lua
# script, 16 connections), each case with a new connection per request and
# with keep-alive, the runs interleaved round by round.
#
#   bench/extension_compare.sh [--qvx32 PATH] [--duration SECONDS] [--rounds N]
#                              [--markdown FILE] [--keep] [--no-install]
#                              [--rebuild]
#
# The cases:
#   extension  GET /cgi-bin/hello.dll: bench/cgi/hello_extension.c, built
#              with cc -O2 -shared -fPIC; HttpExtensionProc sends "200 OK"
#              and "Content-Type: text/plain" with
#              ServerSupportFunction(HSE_REQ_SEND_RESPONSE_HEADER) and the
#              1 KiB body with one WriteClient.  The folder's alias has the
#              programs flag (Alias1=/cgi-bin ... c).
#   static     GET /page.txt, the same 1 KiB as a file in the document folder
#              ([Extensions] Map1=TXT 0 text/plain).
# The modes:
#   close      a new connection per request (no Connection header)
#   keepalive  "Connection: keep-alive" on every request (qvx32 runs with
#              keep_alive=1 in both modes; an extension's reply of up to
#              64 KiB carries its length, so it can keep the connection)
# Before measuring, each URL is fetched once with curl (a 200 with exactly
# the 1 KiB expected), and twice on one connection with keep-alive to show
# whether the second request reused it.  Around every run the "Hits" count
# of qvx32's /~status page is read, so that the connections accepted per
# request are reported: about 1 with a new connection per request, about 0
# with keep-alive (a keep-alive run that silently reconnects shows here).
# Target: extension/static requests/s >= 0.8 in each mode.
#
# Options:
#   --qvx32 PATH        the engine (default build-rel/service/qvx32, built
#                       when missing or with --rebuild; relative paths are
#                       taken from the repository root)
#   --duration S        seconds per wrk run (default 5)
#   --rounds N          rounds of all runs (default 1); the table shows the
#                       medians of the rounds
#   --markdown FILE     also write the summary to FILE
#   --keep              keep the temporary folder
#   --no-install        fail instead of installing wrk and curl
#   --rebuild           build qvx32 (Release, build-rel) before measuring
# qvx32 is a child of this script on its own 127.0.0.1 port, every run is
# bounded in time, and everything started is stopped on exit.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
SRC="$ROOT/bench/cgi"

QVX32="build-rel/service/qvx32"
DURATION=5
ROUNDS=1
CONNECTIONS=16
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

positive --duration "$DURATION"
positive --rounds "$ROUNDS"
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac

# ---------------------------------------------------------------- clean-up
# qvx32 gets SIGINT
stop_all_on_exit INT

# ---------------------------------------------------------------- tools
missing=()
command -v wrk >/dev/null || missing+=(wrk)
command -v curl >/dev/null || missing+=(curl)
install_packages "${missing[@]}"
for t in cc "$PY"; do command -v "$t" >/dev/null || { echo "$t is missing" >&2; exit 1; }; done

build_qvx32_if_needed extension_compare

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------- folder
TMP=$(mktemp -d /tmp/extension-compare.XXXXXX)
chmod 755 "$TMP"
mkdir -p "$TMP/cgi" "$TMP/html" "$TMP/etc" "$TMP/run" "$TMP/logs" "$TMP/temp" "$TMP/out"
chmod 770 "$TMP/run"
cc -O2 -shared -fPIC -I"$ROOT" -o "$TMP/cgi/hello.dll" "$SRC/hello_extension.c" 2>"$TMP/out/cc.log" ||
    { cat "$TMP/out/cc.log" >&2; echo "cc -O2 -shared -fPIC $SRC/hello_extension.c failed" >&2; exit 1; }
# what both replies must be, byte for byte (see hello_extension.c)
"$PY" -c 'import sys; sys.stdout.write("".join(chr(97 + k) * 63 + "\n" for k in range(16)))' >"$TMP/out/expected"
cp "$TMP/out/expected" "$TMP/html/page.txt"
echo '<html><body>extension_compare</body></html>' >"$TMP/html/index.html"

cat >"$TMP/http10.lua" <<'LUA'
-- wrk ... -s http10.lua URL -- PATH [keepalive]: HTTP/1.0 GETs of PATH
function init(args)
   local req = "GET " .. args[1] .. " HTTP/1.0\r\n"
   if args[2] == "keepalive" then req = req .. "Connection: keep-alive\r\n" end
   req = req .. "\r\n"
   wrk.format = function() return req end
end
LUA

declare -A PORT=() SPID=()
PORT[qvx32]=$(free_ports 1)

cat >"$TMP/etc/quorvane.ini" <<EOF
[Options]
view_commands=0
keep_alive=1
hostname=localhost
tempdir=$TMP/temp/
logdir=$TMP/logs/
[Extensions]
Map1=TXT 0 text/plain
[Aliases]
Alias1=/cgi-bin $TMP/cgi/ Anybody anywhere c
[Multi]
server1=httpd
ip1=127.0.0.1
port1=${PORT[qvx32]}
dir1=$TMP/html/
server2=none
EOF

# ---------------------------------------------------------------- checks
# CASES: name and path
declare -A CASE_PATH=([extension]=/cgi-bin/hello.dll [static]=/page.txt)
CASES=(extension static)
MODES=(close keepalive)

# check CASE: one GET with curl; a 200 with exactly the expected 1 KiB.
# Says what came instead otherwise.
check() {
    local c=$1 code head="$TMP/out/check.$1.head" body="$TMP/out/check.$1.body"
    code=$(curl -s -m 20 --http1.0 -D "$head" -o "$body" -w '%{http_code}' "$(url qvx32 "${CASE_PATH[$c]}")")
    if [ "$code" = 200 ] && cmp -s "$body" "$TMP/out/expected"; then return 0; fi
    log "ERROR: $c GET ${CASE_PATH[$c]}: status ${code:-none}, $(wc -c <"$body" 2>/dev/null || echo 0) bytes;" \
        "not 200 with the expected 1 KiB; reply:"
    tr -d '\r' <"$head" 2>/dev/null | head -n 10 | sed 's/^/    | /'
    head -c 400 "$body" 2>/dev/null | sed 's/^/    | /'
    log "  last lines of qvx32's log:"
    tail -n 8 "$TMP/console.log" 2>/dev/null | sed 's/^/    /'
    if [ "$c" = extension ] && ! grep -q "ISAPI" "$QVX32" 2>/dev/null; then
        log "  ($QVX32 has no extension support: build it again with --rebuild)"
    fi
    return 1
}

# header CASE NAME: the values of every header NAME in CASE's checked
# reply, joined by " + " (a header sent twice shows both)
header() {
    tr -d '\r' <"$TMP/out/check.$1.head" |
        awk -v n="$2" 'tolower($0) ~ "^" tolower(n) ":" { sub(/^[^:]*: */, ""); v = v (v == "" ? "" : " + ") $0 }
                       END { print v }'
}

# reuse CASE: the new connections curl made for two keep-alive GETs on one
# connection, "1 0" when the second reused it
reuse() {
    local u
    u=$(url qvx32 "${CASE_PATH[$1]}")
    curl -s -m 20 --http1.0 -H 'Connection: keep-alive' -o /dev/null -o /dev/null \
        -w '%{num_connects} ' "$u" "$u" | sed 's/ $//'
}

# hits: the connections qvx32's server has accepted so far, this request's
# own included ("" when the status page does not say)
hits() {
    curl -s -m 10 --http1.0 "$(url qvx32 /~status)" |
        sed -n 's/.*Hits: *<\/td><td>\([0-9]*\)<.*/\1/p' | head -n 1
}

# ---------------------------------------------------------------- runs
# wrk_run CASE MODE SECONDS OUT: one wrk run, bounded in time
wrk_run() {
    local mode=""
    [ "$2" = keepalive ] && mode=keepalive
    timeout --foreground -k 5 $(($3 + 20)) wrk -t2 -c"$CONNECTIONS" -d"$3s" --latency -s "$TMP/http10.lua" \
        "$(url qvx32 /)" -- "${CASE_PATH[$1]}" $mode >"$4" 2>&1
}

# wrk_fields FILE: requests, requests/s, p50 ms, p99 ms, socket errors
# (connect+read+write+timeout), their breakdown, non-2xx ("|"-separated:
# with tabs, read would merge an empty field into the next)
wrk_fields() {
    awk '
        function ms(v) {
            if (v ~ /us$/) return v * 0.001
            if (v ~ /ms$/) return v + 0
            if (v ~ /m$/) return v * 60000
            if (v ~ /s$/) return v * 1000
            return v + 0
        }
        / requests in / { done = $1 }
        /^Requests\/sec:/ { rps = $2 }
        /Latency Distribution/ { dist = 1 }
        dist && $1 == "50%" { p50 = ms($2) }
        dist && $1 == "99%" { p99 = ms($2) }
        /Socket errors:/ {
            gsub(/,/, "")
            errors = $4 + $6 + $8 + $10
            what = "connect " $4 ", read " $6 ", write " $8 ", timeout " $10
        }
        /Non-2xx or 3xx responses:/ { non2xx = $5 }
        END { printf "%s|%s|%.3f|%.3f|%d|%s|%d\n", done, rps, p50, p99, errors, what, non2xx }' "$1"
}

MACHINE=$(machine_description)
log "extension_compare: wrk -t2 -c$CONNECTIONS --latency, HTTP/1.0, ${DURATION} s per run, $ROUNDS round(s)"
log "  machine: CPU $(cpu_model), $(nproc) cores (nproc); kernel $(uname -sr);" \
    "load average now $(cut -d' ' -f1-3 /proc/loadavg)"
log "  temporary folder $TMP"
log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T')"
log "  $(wrk --version 2>&1 | head -n 1 | sed 's/ *Copyright.*//'); $(cc --version | head -n 1)"

QUORVANE_ETC="$TMP/etc" QUORVANE_RUN="$TMP/run" "$QVX32" -debug </dev/null >"$TMP/console.log" 2>&1 &
SPID[qvx32]=$!; PIDS+=($!)
if ! wait_serving qvx32 /index.html; then
    echo "qvx32 does not answer on 127.0.0.1:${PORT[qvx32]}; last lines of its log:" >&2
    tail -n 10 "$TMP/console.log" >&2
    exit 1
fi
log "  qvx32 listening on 127.0.0.1:${PORT[qvx32]} (pid ${SPID[qvx32]})"

log ""
log "checking every reply"
FAILED_CHECKS=0
declare -A REUSE=()
for c in "${CASES[@]}"; do
    if check "$c"; then
        REUSE[$c]=$(reuse "$c")
        log "  $c GET ${CASE_PATH[$c]}: 200, the expected 1 KiB;" \
            "Content-Type: $(header "$c" content-type), Content-Length: $(header "$c" content-length);" \
            "two keep-alive GETs made ${REUSE[$c]:-?} new connection(s)"
        [ "${REUSE[$c]}" = "1 0" ] || warn "$c: the second keep-alive GET did not reuse the connection"
        [ "$(header "$c" content-type)" = text/plain ] ||
            warn "$c: Content-Type \"$(header "$c" content-type)\", not just text/plain"
    else
        FAILED_CHECKS=$((FAILED_CHECKS + 1))
    fi
done
[ "$FAILED_CHECKS" -eq 0 ] || { log ""; log "ERROR: $FAILED_CHECKS reply check(s) failed; nothing measured"; exit 1; }

# The connections one reading of the status page adds to its count (1
# unless something else connects); a wrk run adds one more than it uses for
# requests: it tries connecting once before starting its threads.
s1=$(hits); s2=$(hits)
STATUS_STEP=1
[ -n "$s1" ] && [ -n "$s2" ] && STATUS_STEP=$((s2 - s1))
[ -n "$s1" ] || warn "the status page shows no \"Hits\" count; connections per request are not reported"
[ "$STATUS_STEP" = 1 ] || warn "two readings of the status page in a row differ by $STATUS_STEP, not 1"

# a second of each case in each mode before the measured runs
for m in "${MODES[@]}"; do
    for c in "${CASES[@]}"; do wrk_run "$c" "$m" 1 "$TMP/out/warmup.$c.$m"; done
done

RESULTS="$TMP/results.tsv"
: >"$RESULTS"
log ""
for round in $(seq "$ROUNDS"); do
    [ "$ROUNDS" -gt 1 ] && log "== round $round of $ROUNDS"
    # the order of the cases alternates round by round
    order=("${CASES[@]}")
    [ $((round % 2)) = 0 ] && order=("${CASES[1]}" "${CASES[0]}")
    for m in "${MODES[@]}"; do
        for c in "${order[@]}"; do
            if ! kill -0 "${SPID[qvx32]}" 2>/dev/null; then
                log "  $c $m: qvx32 is no longer running"
                printf '%s\t%s\t%s\t\t\t\t\t\t\t\t\tserver died\n' "$round" "$m" "$c" >>"$RESULTS"
                continue
            fi
            out="$TMP/out/$c.$m.$round"
            before=$(hits)
            wrk_run "$c" "$m" "$DURATION" "$out"
            after=$(hits)
            IFS='|' read -r done rps p50 p99 errors what non2xx <<<"$(wrk_fields "$out")"
            accepted=""
            [ -n "$before" ] && [ -n "$after" ] && accepted=$((after - before - STATUS_STEP - 1))
            note=""
            if [ -z "$rps" ]; then
                note="no result from wrk: $(tail -n 2 "$out" | tr '\n' ' ')"
            else
                [ "$errors" -gt 0 ] && note="socket errors: $what"
                [ "$non2xx" -gt 0 ] && note="${note:+$note; }$non2xx non-2xx"
                if [ -n "$accepted" ] && [ "${done:-0}" -gt 0 ]; then
                    if [ "$m" = keepalive ] && [ "$accepted" -gt $((2 * CONNECTIONS)) ]; then
                        note="${note:+$note; }reconnected: $accepted connections for $done requests"
                    elif [ "$m" = close ] && [ "$accepted" -lt "$done" ]; then
                        note="${note:+$note; }only $accepted connections for $done requests"
                    fi
                fi
            fi
            kill -0 "${SPID[qvx32]}" 2>/dev/null || note="${note:+$note; }qvx32 DIED"
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$round" "$m" "$c" "$done" "$rps" "$p50" \
                "$p99" "$errors" "$non2xx" "$accepted" "$note" >>"$RESULTS"
            per=""
            [ -n "$accepted" ] && [ "${done:-0}" -gt 0 ] && per=$("$PY" -c "print(f'{$accepted / $done:.4f}')")
            printf '  %-9s %-9s %10s req/s  p50 %7s ms  p99 %7s ms  %9s requests  %7s connections (%s per request)%s\n' \
                "$m" "$c" "${rps:-?}" "${p50:-?}" "${p99:-?}" "${done:-?}" "${accepted:-?}" "${per:-?}" \
                "${note:+  -- WARNING: $note}"
        done
    done
done

# ---------------------------------------------------------------- after
log ""
left=$(find "$TMP/temp" -type f 2>/dev/null | wc -l)
[ "$left" -gt 0 ] && warn "qvx32 left $left work file(s) in its tempdir"
n=$(grep -ciE 'error|fail|exception|timed out|timeout|refused|abort|assert|unknown' "$TMP/console.log" 2>/dev/null)
if [ "${n:-0}" -gt 0 ]; then
    warn "qvx32 logged $n error line(s); most frequent:"
    grep -iE 'error|fail|exception|timed out|timeout|refused|abort|assert|unknown' "$TMP/console.log" |
        sed -E 's/[0-9]+/N/g' | sort | uniq -c | sort -rn | head -n 5 | sed 's/^/    /'
fi
kill -0 "${SPID[qvx32]}" 2>/dev/null || warn "qvx32 is no longer running"

summary_heading
{
    echo "Machine: $MACHINE; load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
    echo "wrk -t2 -c$CONNECTIONS --latency over 127.0.0.1 (on the same machine as qvx32), HTTP/1.0 GETs," \
        "${DURATION} s per run after 1 s of warm-up per run kind; $ROUNDS round(s), the runs interleaved$(
        [ "$ROUNDS" -gt 1 ] && echo ", the table showing medians of the rounds")." \
        "Latencies are wrk's (request sent to reply read; connecting is not in them)." \
        "Connections per request: accepted connections (qvx32's /~status \"Hits\" before and after)" \
        "over the requests wrk completed (wrk's own trial connection left out). Two keep-alive GETs with curl made" \
        "${REUSE[extension]:-?} (extension) and ${REUSE[static]:-?} (static) new connection(s)." \
        "Content-Type of the replies: \"$(header extension content-type)\" (extension)," \
        "\"$(header static content-type)\" (static)."
    echo
    "$PY" - "$RESULTS" <<'EOF'
import sys, statistics
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
by = {}
for rnd, mode, case, done, rps, p50, p99, errors, non2xx, accepted, note in rows:
    e = by.setdefault((mode, case), {"rps": [], "p99": [], "done": 0, "errors": 0, "non2xx": 0,
                                     "accepted": 0, "counted": 0, "notes": []})
    if rps:
        e["rps"].append(float(rps)); e["p99"].append(float(p99 or 0))
        e["errors"] += int(errors or 0); e["non2xx"] += int(non2xx or 0)
        if accepted:
            e["accepted"] += int(accepted); e["counted"] += int(done or 0)
    if note and note not in e["notes"]:
        e["notes"].append(note)

def med(key, field):
    e = by.get(key)
    return statistics.median(e[field]) if e and e[field] else None

def fmt(x, digits=0):
    return "-" if x is None else f"{x:,.{digits}f}"

print("| mode | case | req/s | p99 ms | socket errors | non-2xx | connections per request | extension/static | target |")
print("|---|---|---:|---:|---:|---:|---:|---:|---|")
for mode in ("close", "keepalive"):
    for case in ("extension", "static"):
        e = by.get((mode, case))
        if not e:
            continue
        rps = med((mode, case), "rps")
        per = fmt(e["accepted"] / e["counted"], 3) if e["counted"] else "-"
        ratio = target = ""
        if case == "extension":
            s = med((mode, "static"), "rps")
            r = rps / s if rps is not None and s else None
            ratio = fmt(r, 2) + ("" if r is None else " ok" if r >= 0.8 else " BELOW")
            target = ">= 0.8"
        notes = "; ".join(e["notes"])
        print(f"| {mode} | {case} | {fmt(rps)} | {fmt(med((mode, case), 'p99'), 2)} | "
              f"{e['errors'] if e['rps'] else '-'} | {e['non2xx'] if e['rps'] else '-'} | {per} | {ratio} | {target} |")
notes = [(k, n) for k, e in by.items() for n in e["notes"]]
if notes:
    print()
    for (mode, case), n in notes:
        print(f"- {mode} {case}: {n}")
EOF
} | tee "$TMP/summary.md"
copy_summary
