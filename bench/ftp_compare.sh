#!/usr/bin/env bash
# Compares qvx32's FTP server with Debian's vsftpd on loopback, passive mode
# (PASV) throughout, both servers serving the same folder; the servers one
# after another in each case (which one goes first alternates round by
# round) and the cases interleaved round by round.
#
#   bench/ftp_compare.sh [--qvx32 PATH] [--big-mb N] [--rounds N]
#                        [--small-count N] [--sessions N] [--duration SECONDS]
#                        [--list-entries N] [--list-runs N]
#                        [--time-limit SECONDS] [--cases LIST]
#                        [--servers LIST] [--markdown FILE] [--keep]
#                        [--no-install] [--rebuild]
#
# The cases:
#   retr      curl downloads big.bin (--big-mb MiB of zeros, written to
#             disk) as anonymous; MB/s = bytes / curl's total time (connect
#             to the "226"), 1 MB = 10^6 bytes; the size received is checked.
#   stor      curl uploads the same file into up/ (qvx32: the user bench,
#             whose FTP home /up is writable; vsftpd: anonymous upload into
#             up/, which belongs to the ftp user); the size on disk is
#             checked and the file removed after every run.
#   small     one anonymous session, TYPE I once, then --small-count RETRs of
#             the 4 KiB small.bin, each with a fresh PASV: RETRs/s and the
#             p50/p99 time of one PASV + RETR.
#   sessions  --sessions client processes, each opening sessions one after
#             another for --duration seconds: connect, anonymous login,
#             LIST of /, RETR small.bin, QUIT; sessions/s over all.
#   list      one session, CWD list/ (--list-entries empty files), one LIST
#             unmeasured, then --list-runs LISTs: the median time of one
#             (PASV, LIST, the whole listing read, the "226"); the number of
#             entries is checked in each.
# Beside every rate: the CPU time the server spent in the run (its process
# and every process below it; vsftpd runs under bench/ftp/reaper.py so that
# session processes that outlive their parent count too), per file, RETR,
# session or LIST; on a busy machine it varies less than the rates.
# Targets: qvx32/vsftpd >= 1.0 for retr, small and sessions, >= 0.9 for stor;
# qvx32's LIST time <= 1.0 x vsftpd's.  Before measuring, every server is
# checked once (download compared byte for byte, the listing counted, an
# upload compared); a server that fails is left out and the script ends
# with status 1.
#
# Options:
#   --qvx32 PATH        the engine (default build-rel/service/qvx32, built
#                       when missing or with --rebuild; relative paths are
#                       taken from the repository root)
#   --big-mb N          size of the retr/stor file in MiB (default 1024;
#                       needs twice that free in the temporary folder)
#   --rounds N          rounds of all cases (default 5); the table shows the
#                       medians of the rounds
#   --small-count N     RETRs per small run (default 1000)
#   --sessions N        client processes of the sessions case (default 16)
#   --duration S        seconds per sessions run (default 5)
#   --list-entries N    files in list/ (default 10000)
#   --list-runs N       measured LISTs per list run (default 10)
#   --time-limit S      each run stops after S seconds (default 120)
#   --cases LIST        the cases to run (default retr,stor,small,sessions,list)
#   --servers LIST      the servers to measure (default qvx32,vsftpd)
#   --markdown FILE     also write the summary to FILE
#   --keep              keep the temporary folder
#   --no-install        fail instead of installing vsftpd and curl
#   --rebuild           build qvx32 (Release, build-rel) before measuring
# Every server is a child of this script on its own 127.0.0.1 port (vsftpd
# in the foreground under reaper.py with a generated configuration, its
# sessions dropping to the users nobody and ftp; no system user is
# created), every run is bounded in time, and everything started is stopped
# on exit.  With the defaults a run takes about 3 to 4 minutes on 2 cores.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
CLIENT="$ROOT/bench/ftp/ftp_client.py"

QVX32="build-rel/service/qvx32"
BIG_MB=1024
ROUNDS=5
SMALL_COUNT=1000
SESSIONS=16
DURATION=5
LIST_ENTRIES=10000
LIST_RUNS=10
TIME_LIMIT=120
CASES="retr,stor,small,sessions,list"
SERVERS="qvx32,vsftpd"
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --big-mb) BIG_MB="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        --small-count) SMALL_COUNT="$2"; shift 2 ;;
        --sessions) SESSIONS="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --list-entries) LIST_ENTRIES="$2"; shift 2 ;;
        --list-runs) LIST_RUNS="$2"; shift 2 ;;
        --time-limit) TIME_LIMIT="$2"; shift 2 ;;
        --cases) CASES="$2"; shift 2 ;;
        --servers) SERVERS="$2"; shift 2 ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

positive --big-mb "$BIG_MB"
positive --rounds "$ROUNDS"
positive --small-count "$SMALL_COUNT"
positive --sessions "$SESSIONS"
positive --duration "$DURATION"
positive --list-entries "$LIST_ENTRIES"
positive --list-runs "$LIST_RUNS"
positive --time-limit "$TIME_LIMIT"
IFS=, read -r -a CASE_LIST <<<"$CASES"
[ ${#CASE_LIST[@]} -gt 0 ] || { echo "--cases names no case" >&2; exit 2; }
for c in "${CASE_LIST[@]}"; do
    case "$c" in retr|stor|small|sessions|list) ;;
        *) echo "unknown case: $c (retr, stor, small, sessions or list)" >&2; exit 2 ;; esac
done
IFS=, read -r -a SERVER_LIST <<<"$SERVERS"
[ ${#SERVER_LIST[@]} -gt 0 ] || { echo "--servers names no server" >&2; exit 2; }
for s in "${SERVER_LIST[@]}"; do
    case "$s" in qvx32|vsftpd) ;; *) echo "unknown server: $s (qvx32 or vsftpd)" >&2; exit 2 ;; esac
done
has() { local x; for x in "${@:2}"; do [ "$x" = "$1" ] && return 0; done; return 1; }
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac

# ---------------------------------------------------------------- clean-up
# the servers get SIGTERM (vsftpd through reaper.py); their children still
# there after that are killed
stop_all_on_exit TERM children

# ---------------------------------------------------------------- tools
export PATH="$PATH:/usr/sbin:/sbin"
missing=()
has vsftpd "${SERVER_LIST[@]}" && ! command -v vsftpd >/dev/null && missing+=(vsftpd)
command -v curl >/dev/null || missing+=(curl)
install_packages "${missing[@]}"
command -v "$PY" >/dev/null || { echo "$PY is missing" >&2; exit 1; }
if has vsftpd "${SERVER_LIST[@]}"; then
    # the users vsftpd's sessions run as (the package creates ftp)
    for u in ftp nobody; do
        id "$u" >/dev/null 2>&1 || { echo "vsftpd needs the system user $u, which is missing" >&2; exit 1; }
    done
fi

has qvx32 "${SERVER_LIST[@]}" && build_qvx32_if_needed ftp_compare

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------- folder
BASE="${TMPDIR:-/tmp}"
need_mb=$((BIG_MB * 2 + 256))
free_mb=$(df -Pm "$BASE" | awk 'NR == 2 { print $4 }')
if [ -n "$free_mb" ] && [ "$free_mb" -lt "$need_mb" ]; then
    echo "$BASE has $free_mb MiB free; --big-mb $BIG_MB needs about $need_mb (try a smaller --big-mb)" >&2
    exit 1
fi
TMP=$(mktemp -d "$BASE/ftp-compare.XXXXXX")
chmod 755 "$TMP"
FTP="$TMP/ftp"   # what both servers serve: vsftpd's anon_root, qvx32's ftpdir
mkdir -p "$FTP/up" "$FTP/list" "$TMP/out" "$TMP/qvx32/etc" "$TMP/qvx32/run" "$TMP/qvx32/logs" \
    "$TMP/qvx32/temp" "$TMP/vsftpd/empty"
chmod 755 "$FTP" "$FTP/list" "$TMP/vsftpd/empty"
chmod 770 "$TMP/qvx32/run"
# vsftpd's anonymous uploads are written by the ftp user; the folder it
# serves must stay unwritable for that user (vsftpd refuses a writable root)
chown ftp "$FTP/up" 2>/dev/null
chmod 755 "$FTP/up"

declare -A PORT=() SPID=()
# vsftpd's passive ports: below the system's range for outgoing connections
PASV_MIN=21000
PASV_MAX=29999

# the login that uploads, per server
declare -A UP_USER=([qvx32]=bench [vsftpd]=anonymous) UP_PASS=([qvx32]=benchpass [vsftpd]=bench@localhost)

# ---------------------------------------------------------------- servers
start_qvx32() {
    cat >"$TMP/qvx32/etc/quorvane.ini" <<EOF
[Options]
view_commands=0
hostname=localhost
tempdir=$TMP/qvx32/temp/
logdir=$TMP/qvx32/logs/
ftpdir=$FTP/
max_upload_mb=$((BIG_MB + 1024))
[Users]
User1=bench benchpass
FTPDir1=/up
FTPDirWrite1=1
[Multi]
server1=ftpd
ip1=127.0.0.1
port1=${PORT[qvx32]}
dir1=$FTP/
server2=none
EOF
    run_qvx32 "$TMP/qvx32"
}

# vsftpd as root: the listener stays root, each session drops to nobody
# (nopriv_user) and, logged in as anonymous, to ftp (ftp_username); no
# run_as_launching_user is needed.  Everything not set here keeps the
# package's defaults (isolate and isolate_network on, sendfile).
# seccomp_sandbox=NO: vsftpd 3.0.3's sandbox kills a session (SIGSYS) at
# the first newfstatat, which this glibc's stat uses.
start_vsftpd() {
    local d="$TMP/vsftpd"
    cat >"$d/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=${PORT[vsftpd]}
background=NO
anonymous_enable=YES
anon_root=$FTP
ftp_username=ftp
nopriv_user=nobody
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=NO
anon_other_write_enable=NO
pasv_enable=YES
pasv_min_port=$PASV_MIN
pasv_max_port=$PASV_MAX
seccomp_sandbox=NO
secure_chroot_dir=$d/empty
xferlog_enable=NO
syslog_enable=NO
dirmessage_enable=NO
max_clients=500
max_per_ip=500
EOF
    # under reaper.py, which also collects the CPU time of session processes
    # that outlive their parent (see tree_ticks)
    (cd "$d" && exec "$PY" "$ROOT/bench/ftp/reaper.py" vsftpd "$d/vsftpd.conf") </dev/null >"$d/stdout.log" 2>&1 &
    SPID[vsftpd]=$!; PIDS+=($!)
}

server_log() { case "$1" in qvx32) echo "$TMP/qvx32/console.log" ;; vsftpd) echo "$TMP/vsftpd/stdout.log" ;; esac; }

# wait_ready SERVER: until it sends its "220" greeting (10 s at most); fails
# at once when its process has ended
wait_ready() {
    for _ in $(seq 100); do
        kill -0 "${SPID[$1]}" 2>/dev/null || return 1
        "$PY" "$CLIENT" greet "${PORT[$1]}" >"$TMP/out/greet.$1" 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# bounded COMMAND...: the command, stopped after TIME_LIMIT seconds
bounded() { timeout --foreground -k 5 "$TIME_LIMIT" "$@"; }


# ---------------------------------------------------------------- runs
# Each run prints one key=value line: rate (the case's unit), the other
# numbers it has, errors, and error (what went wrong) last.
run_retr() {
    local s=$1 out code bytes secs
    out=$(bounded curl -s -S --disable-epsv -o /dev/null -w '%{response_code} %{size_download} %{time_total}' \
        "ftp://127.0.0.1:${PORT[$s]}/big.bin" 2>"$TMP/out/curl.err")
    read -r code bytes secs <<<"$out"
    if [ "${bytes:-0}" != "$BIG_BYTES" ] || [ "${code:-}" != 226 ]; then
        echo "rate= errors=1 error=status ${code:-none}, ${bytes:-0} of $BIG_BYTES bytes $(head -c 200 "$TMP/out/curl.err")"
        return
    fi
    echo "rate=$(awk -v b="$bytes" -v t="$secs" 'BEGIN { printf "%.1f", b / t / 1e6 }') seconds=$secs errors=0"
}

run_stor() {
    local s=$1 out code bytes secs name="$1.bin" got
    rm -f "$FTP/up/$name"
    out=$(bounded curl -s -S --disable-epsv -u "${UP_USER[$s]}:${UP_PASS[$s]}" -T "$FTP/big.bin" \
        -w '%{response_code} %{size_upload} %{time_total}' \
        "ftp://127.0.0.1:${PORT[$s]}/%2Fup/$name" 2>"$TMP/out/curl.err")
    read -r code bytes secs <<<"$out"
    got=$(stat -c %s "$FTP/up/$name" 2>/dev/null || echo none)
    rm -f "$FTP/up/$name"
    if [ "$got" != "$BIG_BYTES" ] || [ "${code:-}" != 226 ]; then
        echo "rate= errors=1 error=status ${code:-none}, $got of $BIG_BYTES bytes on disk $(head -c 200 "$TMP/out/curl.err")"
        return
    fi
    echo "rate=$(awk -v b="$bytes" -v t="$secs" 'BEGIN { printf "%.1f", b / t / 1e6 }') seconds=$secs errors=0"
}

run_small() { bounded "$PY" "$CLIENT" small "${PORT[$1]}" "$SMALL_COUNT" "$TMP/out/small.bin" 2>"$TMP/out/py.err"; }
run_sessions() {
    bounded "$PY" "$CLIENT" sessions "${PORT[$1]}" "$SESSIONS" "$DURATION" "$TMP/out/small.bin" 2>"$TMP/out/py.err"
}
run_list() {
    bounded "$PY" "$CLIENT" list "${PORT[$1]}" "$LIST_RUNS" "$LIST_ENTRIES" 2>"$TMP/out/py.err" |
        sed 's/ms=/rate=/'
}

# check SERVER: every operation once (download compared, listing counted,
# an upload compared on disk); says what went wrong otherwise
check() {
    local s=$1 out err name="check.$1.bin"
    rm -f "$FTP/up/$name"
    out=$(bounded "$PY" "$CLIENT" check "${PORT[$s]}" "$TMP/out/small.bin" "$LIST_ENTRIES" \
        "${UP_USER[$s]}" "${UP_PASS[$s]}" "$name" 2>&1)
    if [ "$(field "$out" ok)" = 1 ]; then
        cmp -s "$FTP/up/$name" "$TMP/out/small.bin" && { rm -f "$FTP/up/$name"; return 0; }
        err="the uploaded up/$name differs from what was sent"
    else
        err=$(field "$out" error)
        [ -n "$err" ] || err=$(head -c 300 <<<"${out:-no output (time limit $TIME_LIMIT s?)}")
    fi
    rm -f "$FTP/up/$name"
    CHECK_ERROR=$err
    log "ERROR: $s: $err"
    log "  last lines of $s's log:"
    tail -n 8 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
    return 1
}

MACHINE=$(machine_description)
VSFTPD_VERSION=$(dpkg-query -W -f='${Version}' vsftpd 2>/dev/null || echo "?")

log "ftp_compare: passive mode on 127.0.0.1, $ROUNDS round(s), cases: ${CASE_LIST[*]}, servers: ${SERVER_LIST[*]}"
log "  machine: $MACHINE; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
log "  temporary folder $TMP ($free_mb MiB free before)"
has qvx32 "${SERVER_LIST[@]}" && log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T')"
has vsftpd "${SERVER_LIST[@]}" && log "  vsftpd $VSFTPD_VERSION (Debian package)"
log "  $(curl -V | head -n 1 | cut -d' ' -f1-2); $("$PY" -V 2>&1) ftplib"
if awk -v n="$(nproc)" '{ exit !($1 > n) }' /proc/loadavg; then
    warn "the machine is busy (load average $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores): the rates will vary" \
        "from round to round; more --rounds help, and the server CPU columns vary less"
fi

log ""
log "preparing $BIG_MB MiB big.bin and $LIST_ENTRIES files in list/"
dd if=/dev/zero of="$FTP/big.bin" bs=1M count="$BIG_MB" status=none ||
    { echo "writing $FTP/big.bin failed" >&2; exit 1; }
BIG_BYTES=$(stat -c %s "$FTP/big.bin")
head -c 4096 /dev/urandom >"$FTP/small.bin"
cp "$FTP/small.bin" "$TMP/out/small.bin"
chmod 644 "$FTP/big.bin" "$FTP/small.bin"
"$PY" - "$FTP/list" "$LIST_ENTRIES" <<'EOF'
import os, sys
folder, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    os.close(os.open(os.path.join(folder, "file%05d.txt" % i), os.O_WRONLY | os.O_CREAT, 0o644))
EOF

# A server that does not start or fails its check is left out.
declare -A BROKEN=()
FAILED=0
log ""
for s in "${SERVER_LIST[@]}"; do
    # a port taken meanwhile by someone else: up to three ports are tried
    for _ in 1 2 3; do
        PORT[$s]=$(pick_port)
        "start_$s" && wait_ready "$s" && break
        kill -0 "${SPID[$s]}" 2>/dev/null && break   # running, but not answering
    done
    if ! kill -0 "${SPID[$s]}" 2>/dev/null || ! grep -q '^220' "$TMP/out/greet.$s"; then
        log "ERROR: $s does not greet on 127.0.0.1:${PORT[$s]}: $(tail -n 1 "$TMP/out/greet.$s" 2>/dev/null)"
        [ "$s" = qvx32 ] && ! grep -q serveFtp "$ROOT/engine/engine.cpp" &&
            log "  (engine/engine.cpp has no FTP handler yet)"
        log "  last lines of its log:"
        tail -n 8 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
        BROKEN[$s]="it did not greet"; FAILED=$((FAILED + 1)); continue
    fi
    log "$s listening on 127.0.0.1:${PORT[$s]} (pid ${SPID[$s]}): $(head -c 100 "$TMP/out/greet.$s")"
    if check "$s"; then
        log "  check: RETR small.bin, LIST (/ and $LIST_ENTRIES entries), STOR into up/ as ${UP_USER[$s]}: ok"
    else
        BROKEN[$s]="it failed its check: $CHECK_ERROR"; FAILED=$((FAILED + 1))
    fi
done

[ "$FAILED" -lt ${#SERVER_LIST[@]} ] || { log ""; log "ERROR: no server to measure"; exit 1; }

declare -A UNIT=([retr]="MB/s" [stor]="MB/s" [small]="RETR/s" [sessions]="sessions/s" [list]="ms/LIST")
RESULTS="$TMP/results.tsv"
: >"$RESULTS"
log ""
for round in $(seq "$ROUNDS"); do
    [ "$ROUNDS" -gt 1 ] && log "== round $round of $ROUNDS"
    # the order of the servers alternates from round to round
    order=("${SERVER_LIST[@]}")
    [ $((round % 2)) = 0 ] && [ ${#order[@]} = 2 ] && order=("${order[1]}" "${order[0]}")
    for c in "${CASE_LIST[@]}"; do
        log "-- $c"
        for s in "${order[@]}"; do
            [ -n "${BROKEN[$s]:-}" ] && continue
            if ! kill -0 "${SPID[$s]}" 2>/dev/null; then
                log "  $s: no longer running"
                printf '%s\t%s\t%s\t%s\n' "$round" "$c" "$s" "rate= errors=1 error=server died" >>"$RESULTS"
                continue
            fi
            settle "${SPID[$s]}"
            before=$(tree_ticks "${SPID[$s]}")
            line=$("run_$c" "$s")
            settle "${SPID[$s]}"
            after=$(tree_ticks "${SPID[$s]}")
            [ -n "$line" ] || line="rate= errors=1 error=no result (time limit $TIME_LIMIT s?) $(head -c 200 "$TMP/out/py.err" 2>/dev/null)"
            # the server's CPU seconds go in front of the error text
            cpu=$(awk -v a="$before" -v b="$after" -v t="$CLK_TCK" 'BEGIN { printf "%.2f", (b - a) / t }')
            case "$line" in
                *" error="*) line="${line%% error=*} cpu=$cpu error=${line#* error=}" ;;
                *) line="$line cpu=$cpu" ;;
            esac
            kill -0 "${SPID[$s]}" 2>/dev/null || line="${line%% error=*} error=$s DIED $(field "$line" error)"
            printf '%s\t%s\t%s\t%s\n' "$round" "$c" "$s" "$line" >>"$RESULTS"
            extra=""
            [ "$c" = small ] && extra="  p50 $(field "$line" p50) ms  p99 $(field "$line" p99) ms"
            [ "$c" = list ] && extra="  (min $(field "$line" min), max $(field "$line" max))"
            err=$(field "$line" error); n=$(field "$line" errors)
            extra="$extra  server CPU $(field "$line" cpu) s"
            printf '  %-7s %10s %s%s%s\n' "$s" "$(field "$line" rate)" "${UNIT[$c]}" "$extra" \
                "$([ "${n:-0}" != 0 ] || [ -n "$err" ] && echo "  -- WARNING: ${n:-?} error(s) $err")"
        done
    done
done

# ---------------------------------------------------------------- after
log ""
for s in "${SERVER_LIST[@]}"; do
    [ -n "${BROKEN[$s]:-}" ] && continue
    f=$(server_log "$s")
    n=$(grep -ciE 'error|fail|timed out|timeout|refused|abort|assert|oops' "$f" 2>/dev/null)
    if [ "${n:-0}" -gt 0 ]; then
        warn "$s logged $n error line(s); most frequent:"
        grep -iE 'error|fail|timed out|timeout|refused|abort|assert|oops' "$f" | sed -E 's/[0-9]+/N/g' |
            sort | uniq -c | sort -rn | head -n 5 | sed 's/^/    /'
    fi
    kill -0 "${SPID[$s]}" 2>/dev/null || warn "$s is no longer running"
done
if [ -z "${BROKEN[qvx32]:-}" ] && has qvx32 "${SERVER_LIST[@]}"; then
    left=$(find "$TMP/qvx32/temp" -type f 2>/dev/null | wc -l)
    [ "$left" -gt 0 ] && warn "qvx32 left $left work file(s) in its tempdir"
fi
left=$(find "$FTP/up" -type f 2>/dev/null | wc -l)
[ "$left" -gt 0 ] && warn "$left file(s) left in up/: $(ls -A "$FTP/up" | head -n 3 | tr '\n' ' ')"

summary_heading
{
    echo "Machine: $MACHINE."
    echo
    echo "Loopback, passive mode (PASV), the same served folder for both; $ROUNDS round(s), the servers one" \
        "after another in each case (alternating which goes first)$([ "$ROUNDS" -gt 1 ] &&
        echo ", medians of the rounds"). retr/stor: curl, one $BIG_MB MiB file (1 MB = 10^6 bytes, curl's" \
        "time from connect to the 226); small: $SMALL_COUNT RETRs of 4 KiB in one session, a PASV each;" \
        "sessions: $SESSIONS client processes for $DURATION s, each session login, LIST, RETR 4 KiB, QUIT;" \
        "list: median of $LIST_RUNS LISTs of $LIST_ENTRIES entries. vsftpd $VSFTPD_VERSION (Debian)," \
        "anonymous (uploads: anonymous into a folder of the ftp user); qvx32: anonymous, uploads as a user" \
        "with a writable FTP home. Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
    for s in "${SERVER_LIST[@]}"; do
        [ -n "${BROKEN[$s]:-}" ] && { echo; echo "$s was left out: ${BROKEN[$s]}."; }
    done
    echo
    "$PY" - "$RESULTS" "$CASES" <<'EOF'
import sys, statistics
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
cases = sys.argv[2].split(",")

def fields(line):
    head, _, error = line.partition(" error=")
    if line.startswith("error="):
        head, error = "", line[6:]
    kv = dict(p.split("=", 1) for p in head.split() if "=" in p)
    return kv, error

data = {}
for rnd, case, server, line in rows:
    kv, error = fields(line)
    e = data.setdefault((case, server), {"rate": [], "p99": [], "cpu": [], "errors": 0, "notes": []})
    if kv.get("rate"):
        e["rate"].append(float(kv["rate"]))
        if kv.get("p99"):
            e["p99"].append(float(kv["p99"]))
        # the server's CPU time per operation: seconds per file for
        # retr/stor, ms per RETR, session or LIST (the unmeasured one too)
        cpu = float(kv.get("cpu") or 0)
        if case in ("retr", "stor"):
            e["cpu"].append(cpu)
        elif int(kv.get("done") or 0) > 0:
            e["cpu"].append(cpu * 1000 / (int(kv["done"]) + (1 if case == "list" else 0)))
    e["errors"] += int(kv.get("errors") or 0)
    if error and error not in e["notes"]:
        e["notes"].append(error)

def med(case, server, key="rate"):
    e = data.get((case, server))
    return statistics.median(e[key]) if e and e[key] else None

units = {"retr": "MB/s", "stor": "MB/s", "small": "RETR/s", "sessions": "sessions/s", "list": "ms per LIST"}
what = {"retr": "RETR 1 file", "stor": "STOR 1 file", "small": "RETR 4 KiB, PASV each",
        "sessions": "parallel sessions", "list": "LIST of a large folder"}
targets = {"retr": (">=", 1.0), "stor": (">=", 0.9), "small": (">=", 1.0), "sessions": (">=", 1.0),
           "list": ("<=", 1.0)}

def fmt(x, digits):
    return "-" if x is None else f"{x:,.{digits}f}"

cpu_units = {"retr": "s per file", "stor": "s per file", "small": "ms per RETR", "sessions": "ms per session",
             "list": "ms per LIST"}
print("| case | unit | vsftpd | qvx32 | qvx32/vsftpd | target | server CPU, vsftpd / qvx32 (ratio) "
      "| errors, vsftpd / qvx32 |")
print("|---|---|---:|---:|---:|---|---|---|")
for case in cases:
    digits = 2 if case == "list" else (0 if case in ("small", "sessions") else 1)
    v, q = med(case, "vsftpd"), med(case, "qvx32")
    ratio = q / v if q is not None and v else None
    op, goal = targets[case]
    ok = ""
    if ratio is not None:
        ok = " ok" if (ratio >= goal if op == ">=" else ratio <= goal) else " MISSED"
    errs = []
    for s in ("vsftpd", "qvx32"):
        e = data.get((case, s))
        if not e:
            errs.append("-")
        else:
            errs.append(str(e["errors"]) + ("" if not e["notes"] else " (" + "; ".join(e["notes"])[:160] + ")"))
    extra = ""
    if case == "small":
        pv, pq = med(case, "vsftpd", "p99"), med(case, "qvx32", "p99")
        extra = f" (p99 ms: {fmt(pv, 2)} / {fmt(pq, 2)})"
    cv, cq = med(case, "vsftpd", "cpu"), med(case, "qvx32", "cpu")
    cpu_ratio = cq / cv if cq is not None and cv else None
    cpu_digits = 2 if case in ("retr", "stor", "small") else 1
    cpu = f"{fmt(cv, cpu_digits)} / {fmt(cq, cpu_digits)} {cpu_units[case]} ({fmt(cpu_ratio, 2)})"
    print(f"| {case}: {what[case]} | {units[case]} | {fmt(v, digits)} | {fmt(q, digits)} | "
          f"{fmt(ratio, 2)}{ok} | qvx32/vsftpd {op} {goal}{extra} | {cpu} | {' / '.join(errs)} |")
EOF
} | tee "$TMP/summary.md"
copy_summary
log "(the run took $SECONDS s)"
[ "$FAILED" -eq 0 ] || { log ""; log "ERROR: $FAILED server(s) left out (see above)"; exit 1; }
