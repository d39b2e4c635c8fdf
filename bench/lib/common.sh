# What the benchmark scripts in bench/ share; each sources it with
#   source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
#
# Output:        log, warn, usage (the calling script's header comment)
# Options:       positive (a whole number above 0, or exit 2)
# Clean-up:      PIDS, TMP, KEEP, MADE_POLICY, stop_pid, stop_all_on_exit
# Tools:         install_packages (apt-get, without letting packages start
#                daemons), build_qvx32_if_needed
# Servers:       free_ports, pick_port, url, wait_serving, run_lighttpd,
#                run_qvx32 (the last four use the script's tables PORT and
#                SPID: each server's port and process id, by server name)
# Report:        cpu_model, machine_description, summary_heading, copy_summary
# Measuring:     field (a value of a client's key=value result line),
#                tree_ticks, settle (a server's CPU time), CLK_TCK
#
# The scripts keep their own settings in upper-case globals; the functions
# here read INSTALL, KEEP, MARKDOWN, QVX32, REBUILD, ROOT and TMP from them.

# the system interpreter starts much faster than version-manager shims
PY=python3; [ -x /usr/bin/python3 ] && PY=/usr/bin/python3

log() { printf '%s\n' "$*"; }
warn() { printf 'WARNING: %s\n' "$*"; }

# usage: the header comment of the script that sourced this file, without
# its first line (the #! line) and without the leading "# "
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1' "${BASH_SOURCE[-1]}" | sed 's/^# \{0,1\}//'; }

# positive OPTION VALUE: exits 2 with a message unless VALUE is a whole
# number above 0.
positive() { case "$2" in ''|*[!0-9]*|0) echo "$1 takes a positive whole number" >&2; exit 2 ;; esac; }

# ---------------------------------------------------------------- clean-up
TMP=""           # the script's temporary folder, removed on exit unless KEEP=1
PIDS=()          # every process the script started and that may still run
MADE_POLICY=0    # 1 while a temporary policy-rc.d keeps packages from starting daemons

# stop_pid PID [SIGNAL]: SIGNAL (default TERM), up to 5 s, then SIGKILL
stop_pid() {
    local pid=$1 signal=${2:-TERM} i
    kill -0 "$pid" 2>/dev/null || return 0
    kill -"$signal" "$pid" 2>/dev/null
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null; fi
    wait "$pid" 2>/dev/null
    return 0
}

# stop_all_on_exit SIGNAL [children]: on exit, and on INT, TERM, HUP and
# PIPE with the usual status, stops every process in PIDS with
# stop_pid PID SIGNAL, takes away a policy-rc.d this script made, and removes
# TMP (or keeps it and says so, with KEEP=1).  With "children" the children
# of those processes (e.g. nginx's workers) that are still there once their
# parent is stopped are killed too.
stop_all_on_exit() {
    STOP_SIGNAL=$1
    STOP_CHILDREN=${2:-}
    trap stop_all_and_clean EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    trap 'exit 141' PIPE
}

stop_all_and_clean() {
    local pid k kids=()
    trap - EXIT INT TERM HUP PIPE
    if [ "$STOP_CHILDREN" = children ]; then
        # remembered before their parents are stopped, in case a parent has to be killed
        for pid in "${PIDS[@]}"; do
            while read -r k; do [ -n "$k" ] && kids+=("$k"); done < <(ps -o pid= --ppid "$pid" 2>/dev/null)
        done
    fi
    for pid in "${PIDS[@]}"; do stop_pid "$pid" "$STOP_SIGNAL"; done
    for pid in "${kids[@]}"; do kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null; done
    if [ "$MADE_POLICY" = 1 ]; then rm -f /usr/sbin/policy-rc.d; fi
    if [ -n "$TMP" ] && [ -d "$TMP" ]; then
        if [ "${KEEP:-0}" = 1 ]; then log "kept $TMP"; else rm -rf "$TMP"; fi
    fi
}

# ---------------------------------------------------------------- tools
# install_packages MISSING... [-- PACKAGE...]: nothing when MISSING is empty;
# with INSTALL=0 (--no-install) fails naming what is missing; otherwise
# installs PACKAGE... (MISSING when no -- list is given) with apt-get, with
# a policy-rc.d in place meanwhile so that no package starts its own daemon
# (on port 80).  Exits with status 1 when apt-get fails.
install_packages() {
    local missing=() packages=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do missing+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    packages=("$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    [ ${#packages[@]} -eq 0 ] && packages=("${missing[@]}")
    if [ "${INSTALL:-1}" = 0 ]; then echo "missing: ${missing[*]} (and --no-install given)" >&2; exit 1; fi
    log "installing: ${missing[*]}"
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && MADE_POLICY=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -qq || { echo "apt-get update failed" >&2; exit 1; }
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null ||
        { echo "apt-get install failed" >&2; exit 1; }
    if [ "$MADE_POLICY" = 1 ]; then rm -f /usr/sbin/policy-rc.d; MADE_POLICY=0; fi
}

# build_qvx32_if_needed NAME: with REBUILD=1 or when QVX32 is not there,
# builds it (Release, in ROOT/build-rel) when QVX32 is that build's binary;
# fails otherwise.  A failed build shows the end of its log (kept in a
# temporary NAME_build.* file) and measures the binary built before, if any.
build_qvx32_if_needed() {
    local build_log
    [ "${REBUILD:-0}" = 1 ] || [ ! -x "$QVX32" ] || return 0
    if [ "$QVX32" = "$ROOT/build-rel/service/qvx32" ]; then
        log "building qvx32 (Release) in build-rel"
        build_log=$(mktemp "${TMPDIR:-/tmp}/$1_build.XXXXXX")
        if ! (cd "$ROOT" && cmake -S . -B build-rel -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >"$build_log" 2>&1 &&
            cmake --build build-rel -j2 --target qvx32 >>"$build_log" 2>&1); then
            tail -n 20 "$build_log" >&2
            rm -f "$build_log"
            if [ -x "$QVX32" ]; then
                warn "building qvx32 failed; measuring the binary built before"
            else
                echo "building qvx32 failed" >&2; exit 1
            fi
        fi
        rm -f "$build_log"
    elif [ ! -x "$QVX32" ]; then
        echo "no qvx32 at $QVX32" >&2; exit 1
    fi
}

# ---------------------------------------------------------------- servers
# free_ports N: N ports free on 127.0.0.1 at this moment, space-separated
free_ports() {
    "$PY" - "$1" <<'EOF'
import socket, sys
socks = []
for _ in range(int(sys.argv[1])):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); socks.append(s)
print(" ".join(str(s.getsockname()[1]) for s in socks))
EOF
}

# pick_port: a port free on 127.0.0.1 now, from 10000 to 20999: below the
# range of outgoing connections (from which free_ports draws, and where a
# busy load generator's connections may take the port before the server
# binds it) and below the passive ports of FTP servers (21000 and up)
pick_port() {
    "$PY" - <<'EOF'
import random, socket
for _ in range(200):
    port = random.randrange(10000, 21000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
EOF
}

# url SERVER PATH: PATH on SERVER's port
url() { echo "http://127.0.0.1:${PORT[$1]}$2"; }

# wait_serving SERVER PATH: until SERVER answers an HTTP/1.0 GET of PATH
# (10 s at most); fails at once when its process SPID[SERVER] has ended
wait_serving() {
    local i
    for i in $(seq 100); do
        kill -0 "${SPID[$1]}" 2>/dev/null || return 1
        curl -s -m 2 --http1.0 -o /dev/null "$(url "$1" "$2")" && return 0
        sleep 0.1
    done
    return 1
}

# run_lighttpd DIR: lighttpd on DIR/lighttpd.conf, in the foreground as a
# child of this script (SPID[lighttpd], PIDS) with its output in
# DIR/stdout.log; when lighttpd -tt rejects the file, says why and fails
run_lighttpd() {
    local d=$1
    lighttpd -tt -f "$d/lighttpd.conf" >"$d/test.log" 2>&1 ||
        { warn "lighttpd rejects its configuration:"; cat "$d/test.log"; return 1; }
    lighttpd -D -f "$d/lighttpd.conf" </dev/null >>"$d/stdout.log" 2>&1 &
    SPID[lighttpd]=$!; PIDS+=($!)
}

# run_qvx32 DIR: QVX32 -debug on the settings in DIR/etc with DIR/run as its
# runtime folder, as a child of this script (SPID[qvx32], PIDS), the console
# in DIR/console.log
run_qvx32() {
    QUORVANE_ETC="$1/etc" QUORVANE_RUN="$1/run" "$QVX32" -debug </dev/null >"$1/console.log" 2>&1 &
    SPID[qvx32]=$!; PIDS+=($!)
}

# ---------------------------------------------------------------- report
# cpu_model: the CPU's model name ("unknown CPU" when nothing says it)
cpu_model() {
    local m
    m=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null)
    [ -n "$m" ] || m=$(LC_ALL=C lscpu 2>/dev/null | awk -F': *' '/^Model name/ { print $2; exit }')
    echo "${m:-unknown CPU}"
}

# machine_description: CPU, core count and kernel in one line
machine_description() { echo "CPU $(cpu_model), $(nproc) cores (nproc); kernel $(uname -sr)"; }

# summary_heading: the heading above the Markdown summary that ends a run
summary_heading() { log ""; log "## Summary"; log ""; }

# copy_summary: with --markdown FILE, copies the summary ($TMP/summary.md) there
copy_summary() {
    if [ -n "$MARKDOWN" ]; then
        cp "$TMP/summary.md" "$MARKDOWN" && log "summary written to $MARKDOWN"
    fi
}

# ---------------------------------------------------------------- measuring

# field LINE KEY: the value of KEY in a key=value line ("error" is the rest
# of the line)
field() {
    if [ "$2" = error ]; then sed -n 's/.* \{0,1\}error=//p' <<<"$1"
    else tr ' ' '\n' <<<"${1%% error=*}" | sed -n "s/^$2=//p"; fi
}

# tree_ticks PID: CPU time (clock ticks) of PID and every process below it,
# alive or not yet reaped, plus what they reaped: all the server has spent
# (a forking server's reaped children included)
tree_ticks() {
    local stats
    mapfile -t stats < <(ps -e -o pid=,ppid= | awk -v r="$1" '{ up[$1] = $2 }
        END { for (k in up) { x = k; while (x != r && (x in up) && x > 1) x = up[x]; if (x == r) print "/proc/" k "/stat" } }')
    [ ${#stats[@]} -gt 0 ] || { echo 0; return; }
    awk '{ s += $14 + $15 + $16 + $17 } END { print s + 0 }' "${stats[@]}" 2>/dev/null
}

# settle PID [SECONDS]: until the CPU time of PID's tree has stopped growing
# (three equal readings 0.1 s apart, SECONDS (default 3) at most): the
# sessions of a run have ended
settle() {
    local now last=-1 same=0
    for _ in $(seq $((${2:-3} * 10))); do
        now=$(tree_ticks "$1")
        if [ "$now" = "$last" ]; then
            same=$((same + 1)); [ "$same" -ge 2 ] && return 0
        else
            same=0
        fi
        last=$now
        sleep 0.1
    done
}
CLK_TCK=$(getconf CLK_TCK)
