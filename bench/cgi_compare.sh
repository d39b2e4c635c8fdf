#!/usr/bin/env bash
# Compares how fast qvx32 runs gateway programs with lighttpd's mod_cgi on
# loopback: ab, a new connection per request (no keep-alive), a fixed number
# of requests per run after a short warm-up, the servers one after another
# in each case and the cases interleaved round by round.
#
#   bench/cgi_compare.sh [--qvx32 PATH] [--requests N] [--rounds N]
#                        [--concurrency N] [--warmup N] [--time-limit SECONDS]
#                        [--cases standard,wincgi,perl] [--markdown FILE]
#                        [--keep] [--no-install] [--rebuild]
#
# The cases (the programs are in bench/cgi/, the C ones built with cc -O2):
#   standard  GET /cgi-bin/hello.exe, a C program that prints a plain-text
#             "hello"; qvx32 runs it as a standard CGI program (access.qac
#             beside it: [cgi mode] hello.exe=standard), lighttpd as a CGI.
#   wincgi    POST of a 20-field form (application/x-www-form-urlencoded) to
#             /cgi-bin/wincgi.exe, a C program started by qvx32 as
#             "wincgi.exe profile content-file output-file" (no access.qac
#             entry: the Windows CGI interface); it reads the profile and
#             writes the same "hello" to the output file.  lighttpd has no
#             such interface and runs hello.exe with the same POST; qvx32
#             also runs hello.exe with that POST, to tell the cost of the
#             profile from that of the body.
#   perl      GET /cgi-bin/hello.pl, one print statement; qvx32 runs it as
#             "perl script" ([CGI] Perl_Compiler=perl), lighttpd through
#             mod_cgi with the same perl (found on PATH) for .pl.
# Targets: qvx32/lighttpd requests/s >= 1.0 (standard, perl); qvx32's
# Windows CGI over its standard CGI (GET) >= 0.8; p99 <= 50 ms for qvx32.
# Beside the table: the CPU model and core count, and how long starting
# hello.exe and perl hello.pl and waiting for them takes when one process
# does it 100 times in a row (what no server can undercut on this machine).
#
# Options:
#   --qvx32 PATH        the engine (default build-rel/service/qvx32, built
#                       when missing or with --rebuild; relative paths are
#                       taken from the repository root)
#   --requests N        requests per measured run (default 2000)
#   --rounds N          rounds of all cases (default 1); the table shows the
#                       median of the rounds
#   --concurrency N     ab's concurrent requests (default 16)
#   --warmup N          requests before each measured run (default 100)
#   --time-limit S      each run stops after S seconds (default 60)
#   --cases LIST        the cases to run (default standard,wincgi,perl)
#   --markdown FILE     also write the summary to FILE
#   --keep              keep the temporary folder
#   --no-install        fail instead of installing ab and lighttpd
#   --rebuild           build qvx32 (Release, build-rel) before measuring
# Every server is a child of this script on its own 127.0.0.1 port, every
# run is bounded in time, and everything started is stopped on exit.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
SRC="$ROOT/bench/cgi"

QVX32="build-rel/service/qvx32"
REQUESTS=2000
ROUNDS=1
CONC=16
WARMUP=100
TIME_LIMIT=60
CASES="standard,wincgi,perl"
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --requests) REQUESTS="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        --concurrency) CONC="$2"; shift 2 ;;
        --warmup) WARMUP="$2"; shift 2 ;;
        --time-limit) TIME_LIMIT="$2"; shift 2 ;;
        --cases) CASES="$2"; shift 2 ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

positive --requests "$REQUESTS"
positive --rounds "$ROUNDS"
positive --concurrency "$CONC"
positive --time-limit "$TIME_LIMIT"
case "$WARMUP" in ''|*[!0-9]*) echo "--warmup takes a whole number" >&2; exit 2 ;; esac
[ "$CONC" -le "$REQUESTS" ] || { echo "--concurrency must not exceed --requests" >&2; exit 2; }
IFS=, read -r -a CASE_LIST <<<"$CASES"
[ ${#CASE_LIST[@]} -gt 0 ] || { echo "--cases names no case" >&2; exit 2; }
for c in "${CASE_LIST[@]}"; do
    case "$c" in standard|wincgi|perl) ;; *) echo "unknown case: $c (standard, wincgi or perl)" >&2; exit 2 ;; esac
done
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac

# ---------------------------------------------------------------- clean-up
# the servers get SIGINT
stop_all_on_exit INT

# ---------------------------------------------------------------- tools
export PATH="$PATH:/usr/sbin:/sbin"
missing=()
command -v ab >/dev/null || missing+=(apache2-utils)
command -v lighttpd >/dev/null || missing+=(lighttpd)
command -v curl >/dev/null || missing+=(curl)
install_packages "${missing[@]}"
for t in cc perl "$PY"; do command -v "$t" >/dev/null || { echo "$t is missing" >&2; exit 1; }; done
PERL=$(command -v perl)

build_qvx32_if_needed cgi_compare

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------- folder
TMP=$(mktemp -d /tmp/cgi-compare.XXXXXX)
chmod 755 "$TMP"
CGI="$TMP/cgi"
mkdir -p "$CGI" "$TMP/html" "$TMP/etc" "$TMP/run" "$TMP/logs" "$TMP/temp" "$TMP/out" \
    "$TMP/lighttpd/root" "$TMP/lighttpd/upload"
chmod 770 "$TMP/run"
for p in hello wincgi; do
    cc -O2 -o "$CGI/$p.exe" "$SRC/$p.c" 2>"$TMP/out/cc.$p.log" ||
        { cat "$TMP/out/cc.$p.log" >&2; echo "cc -O2 $SRC/$p.c failed" >&2; exit 1; }
done
cp "$SRC/hello.pl" "$CGI/hello.pl"
chmod 755 "$CGI/hello.exe" "$CGI/wincgi.exe" "$CGI/hello.pl"   # mod_cgi runs only executable files
printf '[cgi mode]\nhello.exe=standard\n' >"$CGI/access.qac"
echo '<html><body>cgi_compare</body></html>' >"$TMP/html/index.html"
printf 'hello\n' >"$TMP/out/expected"

# The form: 20 fields as a browser sends them, spaces as "+", a few
# characters escaped, every value short enough for [Form Literal].
"$PY" - "$TMP/form.txt" <<'EOF'
import sys, urllib.parse
values = ["Jane Doe", "jane.doe@example.com", "+1 555 0100", "12 Main Street", "Springfield",
          "IL", "62701", "United States", "Acme & Sons", "Buyer", "yes", "no", "42",
          "2026-12-08", "blue", "medium", "Please call after 5 pm.", "none", "web form", "submit"]
fields = [("field%02d" % (i + 1), v) for i, v in enumerate(values)]
open(sys.argv[1], "w").write(urllib.parse.urlencode(fields))
EOF
FORM_TYPE="application/x-www-form-urlencoded"

declare -A PORT=() SPID=()
read -r PORT[qvx32] PORT[lighttpd] <<<"$(free_ports 2)"

# ---------------------------------------------------------------- servers
start_qvx32() {
    cat >"$TMP/etc/quorvane.ini" <<EOF
[Options]
view_commands=0
hostname=localhost
tempdir=$TMP/temp/
logdir=$TMP/logs/
[CGI]
Perl_Compiler=perl
Perl_Dir=$CGI/
[Aliases]
Alias1=/cgi-bin $CGI/ Anybody anywhere c
[Multi]
server1=httpd
ip1=127.0.0.1
port1=${PORT[qvx32]}
dir1=$TMP/html/
server2=none
EOF
    QUORVANE_ETC="$TMP/etc" QUORVANE_RUN="$TMP/run" "$QVX32" -debug </dev/null >"$TMP/console.log" 2>&1 &
    SPID[qvx32]=$!; PIDS+=($!)
}

start_lighttpd() {
    local d="$TMP/lighttpd"
    cp "$TMP/html/index.html" "$d/root/"
    cat >"$d/lighttpd.conf" <<EOF
server.modules += ( "mod_alias", "mod_cgi" )
server.document-root = "$d/root"
server.bind = "127.0.0.1"
server.port = ${PORT[lighttpd]}
server.pid-file = "$d/lighttpd.pid"
server.errorlog = "$d/error.log"
server.upload-dirs = ( "$d/upload" )
server.max-connections = 1024
server.max-fds = 4096
mimetype.assign = ( ".html" => "text/html" )
alias.url = ( "/cgi-bin/" => "$CGI/" )
cgi.assign = ( ".exe" => "", ".pl" => "$PERL" )
EOF
    run_lighttpd "$d"
}

server_log() { case "$1" in qvx32) echo "$TMP/console.log" ;; lighttpd) echo "$TMP/lighttpd/error.log" ;; esac; }

# wait_ready SERVER: until its port answers HTTP (10 s at most)
wait_ready() { wait_serving "$1" /index.html; }

# ---------------------------------------------------------------- runs
# One measured run is a case, a server and a program; the POST runs send
# the form.  RUNS lines: case server label path post(0/1)
RUNS=()
for c in "${CASE_LIST[@]}"; do
    case "$c" in
        standard)
            RUNS+=("standard qvx32 qvx32 /cgi-bin/hello.exe 0" "standard lighttpd lighttpd /cgi-bin/hello.exe 0") ;;
        wincgi)
            RUNS+=("wincgi qvx32 qvx32 /cgi-bin/wincgi.exe 1"
                "wincgi qvx32 qvx32-standard /cgi-bin/hello.exe 1"
                "wincgi lighttpd lighttpd /cgi-bin/hello.exe 1") ;;
        perl)
            RUNS+=("perl qvx32 qvx32 /cgi-bin/hello.pl 0" "perl lighttpd lighttpd /cgi-bin/hello.pl 0") ;;
    esac
done

# check SERVER PATH POST: one request with curl; the reply must be a 200
# with exactly "hello\n" as its body.  Says what came instead otherwise.
check() {
    local s=$1 path=$2 post=$3 code tag="$1.$(basename "$2").$3"
    local args=(-s -m 20 --http1.0 -D "$TMP/out/check.$tag.head" -o "$TMP/out/check.$tag.body" -w '%{http_code}')
    [ "$post" = 1 ] && args+=(-H "Content-Type: $FORM_TYPE" --data-binary "@$TMP/form.txt")
    code=$(curl "${args[@]}" "$(url "$s" "$path")")
    if [ "$code" = 200 ] && cmp -s "$TMP/out/check.$tag.body" "$TMP/out/expected"; then return 0; fi
    log "ERROR: $s $([ "$post" = 1 ] && echo POST || echo GET) $path: status ${code:-none}, not 200 with \"hello\"; reply:"
    sed 's/^/    | /' "$TMP/out/check.$tag.head" 2>/dev/null | tr -d '\r' | head -n 10
    head -c 600 "$TMP/out/check.$tag.body" 2>/dev/null | sed 's/^/    | /'
    log "  last lines of $s's log:"
    tail -n 8 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
    return 1
}

# ab_run SERVER PATH POST REQUESTS OUT: one ab run, bounded in time
ab_run() {
    local s=$1 path=$2 post=$3 n=$4 out=$5 args=(-q -s 10 -t "$TIME_LIMIT" -n "$4" -c "$CONC")
    [ "$n" -lt "$CONC" ] && args=(-q -s 10 -t "$TIME_LIMIT" -n "$n" -c "$n")
    [ "$post" = 1 ] && args+=(-p "$TMP/form.txt" -T "$FORM_TYPE")
    timeout --foreground -k 5 $((TIME_LIMIT + 30)) ab "${args[@]}" "$(url "$s" "$path")" >"$out" 2>&1
}

# ab_fields FILE: requests, requests/s, p50, p99, failed, non-2xx (tab-separated)
ab_fields() {
    awk '
        /^Complete requests:/ { done = $3 }
        /^Failed requests:/ { failed = $3 }
        /^Non-2xx responses:/ { non2xx = $3 }
        /^Requests per second:/ { rps = $4 }
        /^ *50% / { p50 = $2 }
        /^ *99% / { p99 = $2 }
        END { printf "%s\t%s\t%s\t%s\t%s\t%s\n", done, rps, p50, p99, failed + 0, non2xx + 0 }' "$1"
}

MACHINE=$(machine_description)

log "cgi_compare: ab -c $CONC, a new connection per request, $REQUESTS requests per run" \
    "after $WARMUP of warm-up, $ROUNDS round(s), cases: ${CASE_LIST[*]}"
log "  machine: $MACHINE; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
log "  temporary folder $TMP"
log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T')"
log "  $(lighttpd -v 2>&1 | head -n 1); $(ab -V 2>&1 | head -n 1); $("$PERL" -e 'printf "perl %vd", $^V')"

for s in qvx32 lighttpd; do
    "start_$s" || { echo "$s did not start" >&2; exit 1; }
    if ! wait_ready "$s"; then
        echo "$s does not answer on 127.0.0.1:${PORT[$s]}; last lines of its log:" >&2
        tail -n 10 "$(server_log "$s")" >&2 2>/dev/null
        exit 1
    fi
    log "  $s listening on 127.0.0.1:${PORT[$s]} (pid ${SPID[$s]})"
done

# The floor: one process starting a program and waiting for it, one after
# another; a server cannot answer a request faster than this.
spawn_ms() {
    "$PY" - "$@" <<'EOF'
import os, sys, time
n, argv = 100, sys.argv[1:]
t = time.monotonic()
for _ in range(n):
    pid = os.posix_spawn(argv[0], argv, dict(os.environ),
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0)])
    os.waitpid(pid, 0)
print("%.2f" % ((time.monotonic() - t) / n * 1000))
EOF
}
SPAWN_C=$(cd "$CGI" && spawn_ms "$CGI/hello.exe")
SPAWN_PL=$(cd "$CGI" && spawn_ms "$PERL" "$CGI/hello.pl")
log "  starting a program and waiting for it, 100 times in a row: hello.exe ${SPAWN_C:-?} ms," \
    "perl hello.pl ${SPAWN_PL:-?} ms each"

# Every run's reply is checked once before anything is measured; a run
# whose check fails is left out (and the script ends with status 1).
declare -A BROKEN=()
FAILED_CHECKS=0
log ""
log "checking every reply"
for r in "${RUNS[@]}"; do
    read -r c s label path post <<<"$r"
    if check "$s" "$path" "$post"; then
        log "  $c $label $([ "$post" = 1 ] && echo POST || echo GET) $path: 200 hello"
    else
        BROKEN[$c.$label]=1; FAILED_CHECKS=$((FAILED_CHECKS + 1))
    fi
done

RESULTS="$TMP/results.tsv"
: >"$RESULTS"
log ""
for round in $(seq "$ROUNDS"); do
    [ "$ROUNDS" -gt 1 ] && log "== round $round of $ROUNDS"
    last=""
    for r in "${RUNS[@]}"; do
        read -r c s label path post <<<"$r"
        if [ "$c" != "$last" ]; then
            log "-- $c"; last=$c
        fi
        if [ -n "${BROKEN[$c.$label]:-}" ]; then
            log "  $label: left out (its reply check failed)"
            printf '%s\t%s\t%s\t%s\t\t\t\t\t\t\tcheck failed\n' "$round" "$c" "$label" "$path" >>"$RESULTS"
            continue
        fi
        if ! kill -0 "${SPID[$s]}" 2>/dev/null; then
            log "  $label: $s is no longer running"
            printf '%s\t%s\t%s\t%s\t\t\t\t\t\t\tserver died\n' "$round" "$c" "$label" "$path" >>"$RESULTS"
            continue
        fi
        out="$TMP/out/$c.$label.$round"
        [ "$WARMUP" -gt 0 ] && ab_run "$s" "$path" "$post" "$WARMUP" "$out.warmup"
        ab_run "$s" "$path" "$post" "$REQUESTS" "$out"
        IFS=$'\t' read -r done rps p50 p99 failed non2xx <<<"$(ab_fields "$out")"
        note=""
        if [ -z "$rps" ]; then
            note="no result from ab: $(tail -n 2 "$out" | tr '\n' ' ')"
        else
            [ "${done:-0}" -lt "$REQUESTS" ] && note="only $done of $REQUESTS requests within $TIME_LIMIT s"
            [ "$failed" -gt 0 ] && note="${note:+$note; }$failed failed"
            [ "$non2xx" -gt 0 ] && note="${note:+$note; }$non2xx non-2xx"
        fi
        kill -0 "${SPID[$s]}" 2>/dev/null || note="${note:+$note; }$s DIED"
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$round" "$c" "$label" "$path" \
            "$done" "$rps" "$p50" "$p99" "$failed" "$non2xx" "$note" >>"$RESULTS"
        printf '  %-15s %9s req/s  p50 %4s ms  p99 %4s ms%s\n' "$label" "${rps:-?}" "${p50:-?}" "${p99:-?}" \
            "${note:+  -- WARNING: $note}"
    done
done

# ---------------------------------------------------------------- after
log ""
# work files of qvx32 left in its tempdir, programs it still waits for,
# error lines of both servers
left=$(find "$TMP/temp" -type f 2>/dev/null | wc -l)
[ "$left" -gt 0 ] && warn "qvx32 left $left work file(s) in its tempdir, e.g. $(find "$TMP/temp" -type f | head -n 3 | xargs -n1 basename | tr '\n' ' ')"
kids=$(ps -o pid= --ppid "${SPID[qvx32]}" 2>/dev/null | wc -l)
[ "$kids" -gt 0 ] && warn "qvx32 still has $kids child process(es) after the runs"
for s in qvx32 lighttpd; do
    f=$(server_log "$s")
    n=$(grep -ciE 'error|fail|timed out|timeout|refused|abort|assert' "$f" 2>/dev/null)
    if [ "${n:-0}" -gt 0 ]; then
        warn "$s logged $n error line(s); most frequent:"
        grep -iE 'error|fail|timed out|timeout|refused|abort|assert' "$f" | sed -E 's/[0-9]+/N/g' |
            sort | uniq -c | sort -rn | head -n 5 | sed 's/^/    /'
    fi
    kill -0 "${SPID[$s]}" 2>/dev/null || warn "$s is no longer running"
done

summary_heading
{
    echo "Machine: $MACHINE."
    echo
    echo "ab -c $CONC over 127.0.0.1, a new connection per request, $REQUESTS requests per run after $WARMUP" \
        "of warm-up; $ROUNDS round(s), the servers one after another in each case$([ "$ROUNDS" -gt 1 ] &&
        echo "; medians of the rounds"). Latencies are ab's (connect to last byte)."
    echo "lighttpd: mod_cgi; in the wincgi row it runs the standard hello.exe with the same POST."
    echo "Starting a program and waiting for it, one after another from one process:" \
        "hello.exe ${SPAWN_C:-?} ms, perl hello.pl ${SPAWN_PL:-?} ms (load average at the end: $(cut -d' ' -f1-3 /proc/loadavg))."
    echo
    "$PY" - "$RESULTS" <<'EOF'
import sys, statistics
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
by = {}
order = []
for rnd, case, label, path, done, rps, p50, p99, failed, non2xx, note in rows:
    key = (case, label)
    if key not in by:
        by[key] = {"path": path, "rps": [], "p50": [], "p99": [], "bad": 0, "notes": []}
        order.append(key)
    e = by[key]
    if rps:
        e["rps"].append(float(rps)); e["p50"].append(float(p50 or 0)); e["p99"].append(float(p99 or 0))
        e["bad"] += int(failed or 0) + int(non2xx or 0)
    if note and note not in e["notes"]:
        e["notes"].append(note)

def med(key, field):
    e = by.get(key)
    return statistics.median(e[field]) if e and e[field] else None

def ratio(a, b):
    return a / b if a is not None and b else None

def fmt(x, digits=0):
    return "-" if x is None else f"{x:,.{digits}f}"

programs = {"standard": "hello.exe (standard CGI)", "wincgi": "wincgi.exe (Windows CGI), POST",
            "perl": "hello.pl (perl)"}
print("| case | server (program) | req/s | p50 ms | p99 ms | failed + non-2xx | ratio | target |")
print("|---|---|---:|---:|---:|---:|---:|---|")
for case, label in order:
    e = by[(case, label)]
    prog = programs[case]
    if label == "qvx32-standard": prog = "hello.exe (standard CGI), same POST"
    elif case == "wincgi" and label == "lighttpd": prog = "hello.exe, same POST"
    r = None; target = ""
    rps = med((case, label), "rps")
    if label == "qvx32" and case in ("standard", "perl"):
        r = ratio(rps, med((case, "lighttpd"), "rps")); target = "qvx32/lighttpd >= 1.0"
    elif label == "qvx32" and case == "wincgi":
        r = ratio(rps, med(("standard", "qvx32"), "rps")); target = "/ qvx32 standard CGI (GET) >= 0.8"
    elif label == "qvx32-standard":
        r = ratio(med(("wincgi", "qvx32"), "rps"), rps); target = "Windows CGI / this (information)"
    ok = ""
    if r is not None and target and "information" not in target:
        ok = " ok" if r >= (1.0 if case != "wincgi" else 0.8) else " BELOW"
    p99 = med((case, label), "p99")
    p99_text = fmt(p99)
    if label.startswith("qvx32") and p99 is not None:
        p99_text += " ok" if p99 <= 50 else " (> 50)"
    bad = str(e["bad"]) if e["rps"] else "-"
    notes = "; ".join(e["notes"])
    server = "qvx32" if label.startswith("qvx32") else label
    print(f"| {case} | {server} ({prog}) | {fmt(rps)} | {fmt(med((case, label), 'p50'))} | {p99_text} | {bad}"
          f"{(' (' + notes + ')') if notes else ''} | {fmt(r, 2)}{ok} | {target} |")
EOF
} | tee "$TMP/summary.md"
copy_summary
[ "$FAILED_CHECKS" -eq 0 ] || { log ""; log "ERROR: $FAILED_CHECKS reply check(s) failed; those runs were left out"; exit 1; }
