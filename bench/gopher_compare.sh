#!/usr/bin/env bash
# Compares qvx32's Gopher server with Debian's gophernicus on loopback, both
# serving the same folder: a menu of --entries files and the 4 KiB files
# themselves, fetched by --clients client processes at once, one connection
# per request.  The servers run one after another in each case (which one
# goes first alternates round by round) and the cases are interleaved
# round by round.
#
#   bench/gopher_compare.sh [--qvx32 PATH] [--rounds N] [--clients N]
#                           [--duration SECONDS] [--entries N]
#                           [--markdown FILE] [--keep] [--no-install]
#                           [--rebuild]
#
# The cases:
#   menu   every request is the menu of list/ (--entries files of 4 KiB
#          random bytes, ".bin": binary items, sent as they are by both):
#          menus/s over all clients
#   file   every request is one of those files, in turn: files/s
# Target: qvx32/gophernicus >= 1.0 in both.  gophernicus runs as inetd
# would start it (systemd-socket-activate --accept --inetd, one process per
# connection, as the user nobody), with throttling, headers, footers and
# charset conversion off.  Before measuring, each server's menu is counted
# and one file compared byte for byte; a server that fails is left out and
# the script ends with status 1.
#
# Options:
#   --qvx32 PATH     the engine (default build-rel/service/qvx32, built
#                    when missing or with --rebuild; relative paths are
#                    taken from the repository root)
#   --rounds N       rounds of both cases (default 5); the table shows the
#                    medians of the rounds
#   --clients N      client processes (default 16)
#   --duration S     seconds per run (default 5)
#   --entries N      files in list/ (default 1000)
#   --markdown FILE  also write the summary to FILE
#   --keep           keep the temporary folder
#   --no-install     fail instead of installing gophernicus
#   --rebuild        build qvx32 (Release, build-rel) before measuring
# Every server is a child of this script on its own 127.0.0.1 port, every
# run is bounded in time, and everything started is stopped on exit.  With
# the defaults a run takes about 2 minutes.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
CLIENT="$ROOT/bench/gopher/gopher_client.py"

QVX32="build-rel/service/qvx32"
ROUNDS=5
CLIENTS=16
DURATION=5
ENTRIES=1000
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        --clients) CLIENTS="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --entries) ENTRIES="$2"; shift 2 ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
positive --rounds "$ROUNDS"
positive --clients "$CLIENTS"
positive --duration "$DURATION"
positive --entries "$ENTRIES"
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac
SERVERS=(qvx32 gophernicus)
CASES=(menu file)

stop_all_on_exit TERM children
export PATH="$PATH:/usr/sbin:/sbin"
missing=()
command -v gophernicus >/dev/null || missing+=(gophernicus)
command -v systemd-socket-activate >/dev/null || missing+=(systemd)
install_packages "${missing[@]}"
build_qvx32_if_needed gopher_compare

TMP=$(mktemp -d "${TMPDIR:-/tmp}/gopher_compare.XXXXXX")
# gophernicus runs as nobody: the site must be readable by everybody
chmod 755 "$TMP"
SITE="$TMP/site"
mkdir -p "$SITE/list" "$TMP/qvx32/etc" "$TMP/qvx32/run" "$TMP/qvx32/logs" "$TMP/qvx32/temp" "$TMP/out"
declare -A PORT SPID

# ---------------------------------------------------------------- servers
# Logs stay off (the defaults of [Logging]); the console takes the
# diagnostics of -debug, as it does for the FTP comparison.
start_qvx32() {
    cat >"$TMP/qvx32/etc/quorvane.ini" <<EOF
[Options]
hostname=127.0.0.1
tempdir=$TMP/qvx32/temp/
logdir=$TMP/qvx32/logs/
gopherdir=$SITE/
[Multi]
server1=gopher
ip1=127.0.0.1
port1=${PORT[qvx32]}
dir1=$SITE/
server2=none
EOF
    run_qvx32 "$TMP/qvx32"
}

start_gophernicus() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
        systemd-socket-activate --listen="127.0.0.1:${PORT[gophernicus]}" --accept --inetd \
        gophernicus -h 127.0.0.1 -p "${PORT[gophernicus]}" -r "$SITE" -nv -nh -nf -na -nt -nx -nu -ns -no -nc \
        -i 2000000000 -k 2000000000 </dev/null >"$TMP/out/gophernicus.log" 2>&1 &
    SPID[gophernicus]=$!; PIDS+=($!)
}

server_log() { case "$1" in qvx32) echo "$TMP/qvx32/console.log" ;; *) echo "$TMP/out/gophernicus.log" ;; esac; }

# The selectors of each server: qvx32's carry their item type first.
menu_selector() { case "$1" in qvx32) echo "1/list" ;; *) echo "/list" ;; esac; }
file_selectors() {
    local prefix i
    case "$1" in qvx32) prefix="9/list" ;; *) prefix="/list" ;; esac
    for i in $(seq "$ENTRIES"); do printf '%s/file%05d.bin\n' "$prefix" "$i"; done
}

bounded() { timeout --foreground -k 5 "$((DURATION + 60))" "$@"; }

# check SERVER: the menu counted, one file compared (5 s for it to answer)
check() {
    local s=$1 out
    for _ in $(seq 50); do
        out=$(bounded "$PY" "$CLIENT" check "${PORT[$s]}" "$(menu_selector "$s")" \
            "$(file_selectors "$s" | head -n 1)" "$SITE/list/file00001.bin" "$ENTRIES" 2>&1)
        [ "$out" = ok=1 ] && return 0
        kill -0 "${SPID[$s]}" 2>/dev/null || break
        sleep 0.1
    done
    CHECK_ERROR=${out:-no answer}
    return 1
}

run_case() {
    local s=$1 c=$2 selectors
    if [ "$c" = menu ]; then selectors=("$(menu_selector "$s")"); else mapfile -t selectors < <(file_selectors "$s"); fi
    bounded "$PY" "$CLIENT" load "${PORT[$s]}" "$CLIENTS" "$DURATION" "${selectors[@]}" 2>"$TMP/out/py.err"
}

MACHINE=$(machine_description)
GN_VERSION=$(dpkg-query -W -f='${Version}' gophernicus 2>/dev/null || echo "?")
log "gopher_compare: 127.0.0.1, $ROUNDS round(s), $CLIENTS clients, $DURATION s per run, $ENTRIES entries"
log "  machine: $MACHINE; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T'); gophernicus $GN_VERSION (Debian package)"

"$PY" - "$SITE/list" "$ENTRIES" <<'EOF'
import os, sys
folder, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    with open(os.path.join(folder, "file%05d.bin" % i), "wb") as f:
        f.write(os.urandom(4096))
EOF
chmod -R a+rX "$SITE"

declare -A BROKEN=()
FAILED=0
for s in "${SERVERS[@]}"; do
    PORT[$s]=$(free_ports 1)
    "start_$s"
    if check "$s"; then
        log "$s on 127.0.0.1:${PORT[$s]} (pid ${SPID[$s]}): menu of $ENTRIES entries and a file checked"
    else
        log "ERROR: $s: $CHECK_ERROR"
        tail -n 8 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
        BROKEN[$s]=$CHECK_ERROR; FAILED=$((FAILED + 1))
    fi
done
[ "$FAILED" -lt ${#SERVERS[@]} ] || { log "ERROR: no server to measure"; exit 1; }

RESULTS="$TMP/results.tsv"
: >"$RESULTS"
for round in $(seq "$ROUNDS"); do
    log "== round $round of $ROUNDS"
    order=("${SERVERS[@]}")
    [ $((round % 2)) = 0 ] && order=("${order[1]}" "${order[0]}")
    for c in "${CASES[@]}"; do
        for s in "${order[@]}"; do
            [ -n "${BROKEN[$s]:-}" ] && continue
            line=$(run_case "$s" "$c")
            [ -n "$line" ] || line="rate= errors=1 error=no result $(head -c 200 "$TMP/out/py.err")"
            printf '%s\t%s\t%s\t%s\n' "$round" "$c" "$s" "$line" >>"$RESULTS"
            printf '  %-5s %-12s %10s /s  errors %s%s\n' "$c" "$s" "$(field "$line" rate)" \
                "$(field "$line" errors)" "$([[ $line == *" error="* ]] && echo "  (${line#* error=})")"
        done
    done
done

summary_heading
{
    echo "Machine: $MACHINE."
    echo
    echo "Loopback, the same folder for both; $CLIENTS client processes for $DURATION s per run, one connection" \
        "per request; $ROUNDS round(s), the servers one after another (alternating which goes first), medians" \
        "of the rounds. menu: the menu of a folder of $ENTRIES files; file: those 4 KiB files in turn." \
        "gophernicus $GN_VERSION (Debian) through systemd-socket-activate --accept --inetd." \
        "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
    for s in "${SERVERS[@]}"; do
        [ -n "${BROKEN[$s]:-}" ] && { echo; echo "$s was left out: ${BROKEN[$s]}."; }
    done
    echo
    "$PY" - "$RESULTS" <<'EOF'
import sys, statistics
rates, errors = {}, {}
for line in open(sys.argv[1]):
    rnd, case, server, text = line.rstrip("\n").split("\t")
    kv = dict(p.split("=", 1) for p in text.split(" error=")[0].split() if "=" in p)
    if kv.get("rate"):
        rates.setdefault((case, server), []).append(float(kv["rate"]))
    errors[(case, server)] = errors.get((case, server), 0) + int(kv.get("errors") or 0)
med = lambda c, s: statistics.median(rates[(c, s)]) if rates.get((c, s)) else None
fmt = lambda x: "-" if x is None else f"{x:,.0f}"
print("| case | unit | gophernicus | qvx32 | qvx32/gophernicus | target | errors, gophernicus / qvx32 |")
print("|---|---|---:|---:|---:|---|---|")
for case, unit in (("menu", "menus/s"), ("file", "files/s")):
    g, q = med(case, "gophernicus"), med(case, "qvx32")
    ratio = f"{q / g:.2f}" + (" ok" if q / g >= 1.0 else " MISSED") if g and q is not None else "-"
    print(f"| {case} | {unit} | {fmt(g)} | {fmt(q)} | {ratio} | >= 1.0 | "
          f"{errors.get((case, 'gophernicus'), '-')} / {errors.get((case, 'qvx32'), '-')} |")
EOF
} | tee "$TMP/summary.md"
copy_summary
log "(the run took $SECONDS s)"
[ "$FAILED" -eq 0 ] || { log "ERROR: $FAILED server(s) left out (see above)"; exit 1; }
