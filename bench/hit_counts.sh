#!/usr/bin/env bash
# What counting hits costs: a 1 KiB page served by qvx32 with counting off,
# and counted with 10, 1,000 and 10,000 other entries in counts.qvx, wrk
# with 16 connections (a new connection per request, then keep-alive), the
# cases interleaved.  After each counted run the server is stopped and the
# page's count in counts.qvx is checked against the requests wrk reported.
#
#   bench/hit_counts.sh [--qvx32 PATH] [--duration SECONDS] [--rounds N]
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
QVX32="$ROOT/build-rel/service/qvx32"
DURATION=5
ROUNDS=1
while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        *) sed -n '2,9p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
done
command -v wrk >/dev/null || { echo "wrk is missing (apt-get install wrk)" >&2; exit 1; }
[ -x "$QVX32" ] || { echo "no qvx32 at $QVX32 (cmake --build build-rel --target qvx32)" >&2; exit 1; }

TMP=$(mktemp -d /tmp/qv-hits.XXXXXX)
PID=""
cleanup() { [ -n "$PID" ] && kill "$PID" 2>/dev/null; rm -rf "$TMP"; }
trap cleanup EXIT
PORT=$(free_ports 1)
mkdir -p "$TMP/html" "$TMP/etc" "$TMP/run" "$TMP/logs"
head -c 1024 /dev/zero | tr '\0' 'p' > "$TMP/html/page.html"
cat > "$TMP/http10.lua" <<'LUA'
function init(args)
   local req = "GET /page.html HTTP/1.0\r\n"
   if args[1] == "keepalive" then req = req .. "Connection: keep-alive\r\n" end
   req = req .. "\r\n"
   wrk.format = function() return req end
end
LUA

# settings COUNTING ENTRIES: the settings file and a counts.qvx with that
# many other entries.
settings() {
    printf '[Options]\nview_commands=0\nkeep_alive=1\nlogdir=%s/logs/\ntempdir=%s/logs/\ncountfilehits=%s\n' \
        "$TMP" "$TMP" "$1" > "$TMP/etc/quorvane.ini"
    printf 'localfilehits=0\naddtofilehits=1\n[Extensions]\nMap1=HTM h text/html\n' >> "$TMP/etc/quorvane.ini"
    printf '[Multi]\nserver1=httpd\nip1=127.0.0.1\nport1=%s\ndir1=%s/html/\nserver2=none\n' "$PORT" "$TMP" >> "$TMP/etc/quorvane.ini"
    python3 - "$TMP/logs/counts.qvx" "$2" <<'PY'
import sys
with open(sys.argv[1], "w") as f:
    f.write("[Commands]\n")
    for n in range(int(sys.argv[2])):
        f.write(f"/other/page{n}.html={n:<9} {' ' * 20}Tue Dec  8 09:00:00 2026\n")
PY
}

start() {
    QUORVANE_ETC="$TMP/etc" QUORVANE_RUN="$TMP/run" "$QVX32" -debug > "$TMP/console.log" 2>&1 &
    PID=$!
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "qvx32 did not start" >&2; exit 1
}
stop() { kill -INT "$PID"; wait "$PID" 2>/dev/null; PID=""; }

# run MODE: requests/s and the request count of one wrk run
run() {
    local out
    out=$(timeout $((DURATION + 20)) wrk -t2 -c16 -d"${DURATION}s" -s "$TMP/http10.lua" "http://127.0.0.1:$PORT/" -- "$1")
    echo "$(echo "$out" | awk '/Requests\/sec/ {print $2}') $(echo "$out" | awk '/requests in/ {print $1}')"
}

echo "machine: $(cpu_model), $(nproc) cores; $(uname -sr)"
declare -A RATE
for round in $(seq "$ROUNDS"); do
    for mode in close keepalive; do
        for entries in off 10 1000 10000; do
            if [ "$entries" = off ]; then settings 0 0; else settings 1 "$entries"; fi
            start
            read -r rate requests < <(run "$mode")
            stop
            RATE[$mode-$entries]="${RATE[$mode-$entries]:-} $rate"
            check=""
            if [ "$entries" != off ]; then
                counted=$(awk -F= '$1 == "/page.html" {split($2, v, " "); print v[1]}' "$TMP/logs/counts.qvx")
                # wrk stops counting with up to one request per connection in flight
                if [ "${counted:-0}" -ge "$requests" ] && [ "$counted" -le $((requests + 16)) ]; then
                    check="count $counted: every request counted ($requests reported by wrk)"
                else
                    check="count ${counted:-none} for $requests requests: WRONG"
                fi
            fi
            printf '%-9s %-6s entries  %10s req/s  %s\n' "$mode" "$entries" "$rate" "$check"
        done
    done
done
echo
printf '| mode | counting off | 10 entries | 1,000 entries | 10,000 entries |\n|---|---:|---:|---:|---:|\n'
for mode in close keepalive; do
    off=$(echo "${RATE[$mode-off]}" | tr ' ' '\n' | sort -n | awk 'NF {a[n++]=$1} END {print a[int(n/2)]}')
    row="| $mode | $off"
    for entries in 10 1000 10000; do
        r=$(echo "${RATE[$mode-$entries]}" | tr ' ' '\n' | sort -n | awk 'NF {a[n++]=$1} END {print a[int(n/2)]}')
        row="$row | $r ($(python3 -c "print(f'{$r/$off:.2f}')") x)"
    done
    echo "$row |"
done
