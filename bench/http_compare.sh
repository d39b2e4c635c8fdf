#!/usr/bin/env bash
# Compares the HTTP server of qvx32 with nginx and lighttpd on loopback.
#
#   bench/http_compare.sh [--qvx32 PATH] [--duration SECONDS]
#                         [--servers qvx32,qvx32-diag,nginx,lighttpd,thread_floor]
#                         (also: qvx32-log, nginx-log)
#                         [--conns 1,16,64] [--files file1k,file64k] [--modes close,keepalive]
#                         [--ab-requests N] [--markdown FILE] [--keep] [--no-install] [--rebuild]
#                         [--no-netns] [--thread-floor PATH] [--thread-floor-threads N]
#                         [--thread-floor-no-defer]
#
# Installs nginx, lighttpd, wrk and ab when missing, builds qvx32 when missing
# (or with --rebuild), lays out a temporary folder with a document root,
# settings and runtime folders for all servers, starts each server as a
# child of this script on its own 127.0.0.1 port, and then:
#   - runs wrk (HTTP/1.0 requests from a small Lua script) for every case
#     file x mode x connections, the servers one after another in each case;
#   - counts the connections each server accepted during each run (qvx32's
#     /~status page, nginx's stub_status, and for every server the kernel's
#     system-wide TCP PassiveOpens counter) and warns when connections per
#     request do not fit the mode (close: ~1, keepalive: far below 1);
#   - measures the folder listing /list/ (200 files) with ab, against nginx's
#     autoindex and lighttpd's dir-listing;
#   - prints the CPU model, core count and kernel, then requests/s, p50 and
#     p99 per case and server with the ratios qvx32/nginx (req/s and p99),
#     qvx32-diag/qvx32, qvx32-log/qvx32 beside nginx-log/nginx and
#     thread_floor/nginx, and a Markdown summary at the end;
#   - when request logging is measured, counts the lines each logging server
#     wrote next to the requests wrk and ab reported for it.
# The servers:
#   qvx32         diagnostics off (view_commands=0), console output to a file
#   qvx32-diag    a second qvx32 with its own port, settings and runtime folder
#                 and diagnostics as shipped (view_commands=1): every request
#                 line goes to its console output, redirected to a file as a
#                 service writes its log.  Target: >= 0.9 x qvx32 in every case.
#   qvx32-log     a further qvx32 like qvx32 (view_commands=0) that writes the
#                 access log: [Logging] enable_files=1, access_file=1, with
#                 [Options] logany=1 as by default; the log is
#                 $TMP/qvx32-log/logs/qvx.log.  Target: >= 0.85 x qvx32 in every
#                 case, and its ratio to qvx32 at least nginx-log's to nginx.
#   nginx, lighttpd
#   nginx-log     a second nginx like nginx but with its access log on
#                 ($TMP/nginx-log/access.log, the default combined layout)
#   qvx32-log and nginx-log are not in the default --servers list; name them,
#   e.g. --servers qvx32,qvx32-log,nginx,nginx-log.
#   thread_floor  --thread-floor PATH (default ../shared/bench/thread_floor.c
#                 from the repository root; left out with a warning when absent),
#                 built with cc -O2 -pthread: one blocking thread per connection
#                 answering a fixed 1 KiB page from memory whatever the path,
#                 i.e. the limit of the threading model.  It runs in the file1k
#                 cases only, with --thread-floor-threads threads (default: the
#                 largest --conns + 4) and TCP_DEFER_ACCEPT as qvx32's HTTP
#                 listener uses (--thread-floor-no-defer: without).
# Relative paths given to --qvx32 and --thread-floor are taken from the
# repository root.
# The measurements run in a network namespace of their own (unshare --net,
# loopback only; --no-netns runs them in the host's), so that the kernel's
# connection counter sees only these servers and other loopback traffic on
# the host cannot disturb the counts.
# Every load run is bounded in time; everything started is stopped on exit.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
HELPER="$ROOT/bench/http_compare_report.py"

QVX32="build-rel/service/qvx32"
DURATION=10
SERVERS="qvx32,qvx32-diag,nginx,lighttpd,thread_floor"
CONNS="1,16,64"
FILES="file1k,file64k"
MODES="close,keepalive"
AB_REQUESTS=5000
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0
WARMUP=2
NETNS=1
THREAD_FLOOR_SRC="../shared/bench/thread_floor.c"
THREAD_FLOOR_THREADS=""
THREAD_FLOOR_DEFER=1
ARGS=("$@")
# set when this script runs again inside its own network namespace
INSIDE_NETNS=${HTTP_COMPARE_IN_NETNS:-}

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --duration) DURATION="$2"; shift 2 ;;
        --servers) SERVERS="$2"; shift 2 ;;
        --conns) CONNS="$2"; shift 2 ;;
        --files) FILES="$2"; shift 2 ;;
        --modes) MODES="$2"; shift 2 ;;
        --ab-requests) AB_REQUESTS="$2"; shift 2 ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        --no-netns) NETNS=0; shift ;;
        --thread-floor) THREAD_FLOOR_SRC="$2"; shift 2 ;;
        --thread-floor-threads) THREAD_FLOOR_THREADS="$2"; shift 2 ;;
        --thread-floor-no-defer) THREAD_FLOOR_DEFER=0; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

case "$DURATION" in ''|*[!0-9]*) echo "--duration takes whole seconds" >&2; exit 2 ;; esac
[ "$DURATION" -ge 1 ] || { echo "--duration must be at least 1" >&2; exit 2; }
IFS=, read -r -a SERVER_LIST <<<"$SERVERS"
IFS=, read -r -a CONN_LIST <<<"$CONNS"
IFS=, read -r -a FILE_LIST <<<"$FILES"
IFS=, read -r -a MODE_LIST <<<"$MODES"
for s in "${SERVER_LIST[@]}"; do
    case "$s" in qvx32|qvx32-diag|qvx32-log|nginx|nginx-log|lighttpd|thread_floor) ;; *) echo "unknown server: $s" >&2; exit 2 ;; esac
done
for f in "${FILE_LIST[@]}"; do
    case "$f" in file1k|file64k) ;; *) echo "unknown file: $f (file1k or file64k)" >&2; exit 2 ;; esac
done
for m in "${MODE_LIST[@]}"; do
    case "$m" in close|keepalive) ;; *) echo "unknown mode: $m (close or keepalive)" >&2; exit 2 ;; esac
done
for c in "${CONN_LIST[@]}"; do
    case "$c" in ''|*[!0-9]*|0) echo "bad connection count: $c" >&2; exit 2 ;; esac
done
case "$THREAD_FLOOR_THREADS" in
    '') THREAD_FLOOR_THREADS=$(( $(printf '%s\n' "${CONN_LIST[@]}" | sort -n | tail -n 1) + 4 )) ;;
    *[!0-9]*|0) echo "--thread-floor-threads takes a positive whole number" >&2; exit 2 ;;
esac
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac
case "$THREAD_FLOOR_SRC" in /*) ;; *) THREAD_FLOOR_SRC="$ROOT/$THREAD_FLOOR_SRC" ;; esac

wants() { local s; for s in "${SERVER_LIST[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }
wants_qvx32() { wants qvx32 || wants qvx32-diag || wants qvx32-log; }

# ---------------------------------------------------------------- clean-up
# The servers get SIGTERM; nginx's workers are stopped by their parent, or
# killed when the parent had to be.
stop_all_on_exit TERM children

# ---------------------------------------------------------------- tools
install_missing() {
    local missing=()
    command -v wrk >/dev/null || missing+=(wrk)
    command -v ab >/dev/null || missing+=(apache2-utils)
    command -v curl >/dev/null || missing+=(curl)
    [ "$NETNS" = 1 ] && ! command -v ip >/dev/null && ! [ -x /usr/sbin/ip ] && missing+=(iproute2)
    if wants nginx || wants nginx-log; then command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || missing+=(nginx); fi
    if wants lighttpd; then command -v lighttpd >/dev/null || [ -x /usr/sbin/lighttpd ] || missing+=(lighttpd); fi
    # whatever is missing, the whole set is installed (and iproute2 when missing)
    install_packages "${missing[@]}" -- nginx lighttpd wrk apache2-utils curl \
        $(printf '%s\n' "${missing[@]}" | grep -x iproute2)
}
[ -z "$INSIDE_NETNS" ] && install_missing
export PATH="$PATH:/usr/sbin:/sbin"

if wants_qvx32 && [ -z "$INSIDE_NETNS" ]; then build_qvx32_if_needed http_compare; fi

# Go on in a network namespace of our own: its loopback carries only this
# benchmark's traffic, and the kernel's TCP counters are its own.
if [ -z "$INSIDE_NETNS" ] && [ "$NETNS" = 1 ]; then
    if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null &&
        unshare --net true 2>/dev/null; then
        trap - EXIT
        exec unshare --net -- env HTTP_COMPARE_IN_NETNS=1 bash "${BASH_SOURCE[0]}" "${ARGS[@]}"
    fi
    warn "cannot make a network namespace (needs root, unshare and ip); the kernel's connection" \
        "counter then also counts other loopback traffic on this host"
fi
if [ -n "$INSIDE_NETNS" ]; then
    ip link set lo up || { echo "cannot bring up loopback in the network namespace" >&2; exit 1; }
fi

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------- folder
TMP=$(mktemp -d /tmp/http-compare.XXXXXX)
chmod 755 "$TMP"              # nginx workers run as nobody and must read the document root
DOC="$TMP/www"
mkdir -p "$DOC/list" "$TMP/out" "$TMP/nginx" "$TMP/nginx-log" "$TMP/lighttpd"
head -c 1024 /dev/urandom >"$DOC/file1k.bin"
head -c 65536 /dev/urandom >"$DOC/file64k.bin"
for i in $(seq -w 1 200); do printf 'small file %s\n' "$i" >"$DOC/list/item$i.txt"; done
chmod -R a+rX "$DOC"
RESULTS="$TMP/results.tsv"
: >"$RESULTS"

declare -A PORT=() SPID=()
read -r -a ports <<<"$(free_ports ${#SERVER_LIST[@]})"
for i in "${!SERVER_LIST[@]}"; do PORT[${SERVER_LIST[$i]}]=${ports[$i]}; done

# thread_floor is built from its source here; without it the server is left out.
THREAD_FLOOR="$TMP/thread_floor"
if wants thread_floor; then
    drop=""
    if [ ! -f "$THREAD_FLOOR_SRC" ]; then
        drop="no $THREAD_FLOOR_SRC"
    elif ! cc -O2 -pthread -o "$THREAD_FLOOR" "$THREAD_FLOOR_SRC" >"$TMP/thread_floor.build.log" 2>&1; then
        drop="cc -O2 -pthread $THREAD_FLOOR_SRC failed: $(head -n 3 "$TMP/thread_floor.build.log" | tr '\n' ' ')"
    fi
    if [ -n "$drop" ]; then
        warn "$drop; leaving thread_floor out"
        mapfile -t SERVER_LIST < <(printf '%s\n' "${SERVER_LIST[@]}" | grep -vx thread_floor)
    fi
fi

# wrk sends exactly this request line (and only the Connection header in
# keep-alive mode); overriding wrk.format keeps the request static.
cat >"$TMP/http10.lua" <<'EOF'
-- wrk script: fixed HTTP/1.0 request; args: PATH MODE (close | keepalive)
function init(args)
   local path = args[1] or wrk.path
   local req = "GET " .. path .. " HTTP/1.0\r\n"
   if args[2] == "keepalive" then
      req = req .. "Connection: keep-alive\r\n"
   end
   req = req .. "\r\n"
   wrk.format = function() return req end
end
EOF

# ---------------------------------------------------------------- servers
# start_qvx32 NAME VIEW_COMMANDS [log]: one qvx32 instance in $TMP/NAME with
# its own settings (etc), runtime, log and temporary folders, on port
# PORT[NAME]; its console output (the diagnostics) goes to
# $TMP/NAME/console.log.  With "log" it also writes the access log
# $TMP/NAME/logs/qvx.log (the log folder is logdir= below).
start_qvx32() {
    local name=$1 view=$2 access=${3:-} d="$TMP/$1" logging=""
    [ "$access" = log ] && logging=$'[Logging]\nenable_files=1\naccess_file=1'
    mkdir -p "$d/etc" "$d/run" "$d/logs" "$d/temp"
    chmod 770 "$d/run"
    cat >"$d/etc/quorvane.ini" <<EOF
[Options]
keep_alive=1
view_commands=$view
logany=1
webdir=$DOC/
webdirbrowsing=1
logdir=$d/logs/
tempdir=$d/temp/
[Multi]
server1=httpd
ip1=127.0.0.1
port1=${PORT[$name]}
server2=none
${logging}
EOF
    QUORVANE_ETC="$d/etc" QUORVANE_RUN="$d/run" "$QVX32" -debug </dev/null >>"$d/console.log" 2>&1 &
    SPID[$name]=$!; PIDS+=($!)
}

start_thread_floor() {
    local defer=()
    [ "$THREAD_FLOOR_DEFER" = 1 ] && defer=(defer)
    "$THREAD_FLOOR" "${PORT[thread_floor]}" "$THREAD_FLOOR_THREADS" "${defer[@]}" \
        </dev/null >>"$TMP/thread_floor.log" 2>&1 &
    SPID[thread_floor]=$!; PIDS+=($!)
}

# start_nginx NAME [log]: an nginx in $TMP/NAME on port PORT[NAME]; with "log"
# its access log goes to $TMP/NAME/access.log, else it is off.
start_nginx() {
    local name=$1 access=${2:-} d="$TMP/$1" access_log="access_log off;"
    [ "$access" = log ] && access_log="access_log $TMP/$1/access.log;"
    mkdir -p "$d/logs" "$d/body" "$d/proxy" "$d/fastcgi" "$d/uwsgi" "$d/scgi"
    cat >"$d/nginx.conf" <<EOF
worker_processes auto;
pid $d/nginx.pid;
error_log $d/logs/error.log warn;
events { worker_connections 4096; }
http {
    types { application/octet-stream bin; text/plain txt; text/html html; }
    default_type application/octet-stream;
    $access_log
    sendfile on;
    tcp_nopush off;
    tcp_nodelay on;
    keepalive_timeout 65;
    keepalive_requests 10000000;
    client_body_temp_path $d/body;
    proxy_temp_path $d/proxy;
    fastcgi_temp_path $d/fastcgi;
    uwsgi_temp_path $d/uwsgi;
    scgi_temp_path $d/scgi;
    server {
        listen 127.0.0.1:${PORT[$name]};
        root $DOC;
        location /list/ { autoindex on; }
        location = /nginx_status { stub_status; }
    }
}
EOF
    nginx -t -q -p "$d/" -e "$d/logs/error.log" -c "$d/nginx.conf" -g 'daemon off;' >"$d/test.log" 2>&1 \
        || { warn "nginx rejects its configuration:"; cat "$d/test.log"; return 1; }
    nginx -p "$d/" -e "$d/logs/error.log" -c "$d/nginx.conf" -g 'daemon off;' </dev/null >>"$d/stdout.log" 2>&1 &
    SPID[$name]=$!; PIDS+=($!)
}

start_lighttpd() {
    local d="$TMP/lighttpd"
    mkdir -p "$d/upload"
    cat >"$d/lighttpd.conf" <<EOF
server.modules = ( "mod_dirlisting", "mod_staticfile" )
server.document-root = "$DOC"
server.bind = "127.0.0.1"
server.port = ${PORT[lighttpd]}
server.pid-file = "$d/lighttpd.pid"
server.errorlog = "$d/error.log"
server.upload-dirs = ( "$d/upload" )
server.max-keep-alive-requests = 65535
server.max-keep-alive-idle = 65
server.max-connections = 4096
server.max-fds = 8192
mimetype.assign = ( ".bin" => "application/octet-stream", ".txt" => "text/plain", ".html" => "text/html" )
\$HTTP["url"] =~ "^/list/" { dir-listing.activate = "enable" }
EOF
    run_lighttpd "$d"
}

start_server() {
    case "$1" in
        qvx32) start_qvx32 qvx32 0 ;;
        qvx32-diag) start_qvx32 qvx32-diag 1 ;;
        qvx32-log) start_qvx32 qvx32-log 0 log ;;
        nginx) start_nginx nginx ;;
        nginx-log) start_nginx nginx-log log ;;
        *) "start_$1" ;;
    esac
}

server_log() {
    case "$1" in
        qvx32|qvx32-diag|qvx32-log) echo "$TMP/$1/console.log" ;;
        nginx|nginx-log) echo "$TMP/$1/logs/error.log" ;;
        lighttpd) echo "$TMP/lighttpd/error.log" ;;
        thread_floor) echo "$TMP/thread_floor.log" ;;
    esac
}

# serves SERVER FILE: whether SERVER takes part in the runs of FILE (file1k,
# file64k or list); thread_floor answers its fixed 1 KiB page to any path.
serves() { [ "$1" != thread_floor ] || [ "$2" = file1k ]; }

# wait_ready SERVER: until it serves file1k.bin (10 s at most)
wait_ready() { wait_serving "$1" /file1k.bin; }

# verify SERVER: serves both files byte for byte, lists all 200 files, keeps
# an HTTP/1.0 connection when asked.  Returns 1 when it cannot serve files.
verify() {
    local s=$1 f code n size
    if [ "$s" = thread_floor ]; then
        read -r code size < <(curl -s -m 5 --http1.0 -o /dev/null -w '%{http_code} %{size_download}\n' \
            "$(url "$s" /file1k.bin)")
        if [ "$code" != 200 ] || [ "$size" != 1024 ]; then
            warn "$s: GET /file1k.bin gave status $code with $size bytes"; return 1
        fi
    fi
    for f in file1k file64k; do
        # thread_floor's page is its own, not the file
        [ "$s" = thread_floor ] && continue
        code=$(curl -s -m 5 --http1.0 -o "$TMP/out/$s.$f" -w '%{http_code}' "$(url "$s" /$f.bin)")
        if [ "$code" != 200 ] || ! cmp -s "$TMP/out/$s.$f" "$DOC/$f.bin"; then
            warn "$s: GET /$f.bin gave status $code or wrong bytes"; return 1
        fi
    done
    if serves "$s" list; then
        code=$(curl -s -m 5 --http1.0 -o "$TMP/out/$s.list" -w '%{http_code}' "$(url "$s" /list/)")
        n=$(grep -o 'item[0-9]*\.txt' "$TMP/out/$s.list" 2>/dev/null | sort -u | wc -l)
        if [ "$code" != 200 ] || [ "$n" -ne 200 ]; then
            warn "$s: GET /list/ gave status $code with $n of 200 files"
        fi
    fi
    "$PY" - "${PORT[$s]}" "$s" <<'EOF'
import socket, sys
port, name = int(sys.argv[1]), sys.argv[2]
req = b"GET /file1k.bin HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
try:
    with socket.create_connection(("127.0.0.1", port), timeout=5) as c:
        got = 0
        for _ in range(2):
            c.sendall(req)
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = c.recv(65536)
                if not chunk:
                    raise EOFError("closed after %d responses" % got)
                data += chunk
            head, body = data.split(b"\r\n\r\n", 1)
            length = [int(l.split(b":", 1)[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")]
            if not length:
                raise ValueError("no Content-Length")
            while len(body) < length[0]:
                chunk = c.recv(65536)
                if not chunk:
                    raise EOFError("short body")
                body += chunk
            got += 1
    print("  %s: keeps an HTTP/1.0 connection alive when asked" % name)
except Exception as e:
    print("WARNING: %s: HTTP/1.0 keep-alive probe failed: %s" % (name, e))
EOF
    return 0
}

declare -A CRASHES=()
# exit_text SERVER: how a server that is no longer running ended
exit_text() {
    local rc
    wait "${SPID[$1]}" 2>/dev/null; rc=$?
    if [ "$rc" -gt 128 ]; then
        echo "killed by SIG$(kill -l $((rc - 128)) 2>/dev/null) (exit status $rc)"
    else
        echo "exit status $rc"
    fi
}

# ensure_running SERVER: restarts a server that died in an earlier run
ensure_running() {
    local s=$1
    kill -0 "${SPID[$s]}" 2>/dev/null && return 0
    printf '(restarting) '
    start_server "$s" && wait_ready "$s"
}

# accepted SERVER: the server's own count of accepted connections, or empty
accepted() {
    case "$1" in
        qvx32|qvx32-diag|qvx32-log)
            # --http0.9: the status page may come without a status line and headers
            curl -s -m 5 --http0.9 --http1.0 -o "$TMP/out/status.$1.html" "$(url "$1" /~status)" &&
                "$PY" "$HELPER" hits "$TMP/out/status.$1.html" ;;
        nginx|nginx-log)
            curl -s -m 5 --http1.0 -o "$TMP/out/nginx_status.$1" "$(url "$1" /nginx_status)" &&
                "$PY" "$HELPER" nginx-accepts "$TMP/out/nginx_status.$1" ;;
        *) echo "" ;;
    esac
}

# the kernel's count of TCP connections accepted on this host (all servers)
passive_opens() {
    awk '/^Tcp:/ { if (!n) { for (i = 1; i <= NF; i++) if ($i == "PassiveOpens") c = i; n = 1 } else print $c }' /proc/net/snmp
}

RUN_NO=0
# run_one KIND SERVER FILE MODE CONNS CASE: one measured run, one row of results
run_one() {
    local kind=$1 s=$2 file=$3 mode=$4 conns=$5 case=$6
    local out="$TMP/out/$case.$s.txt" a0 a1 k0 k1 acc_s="" acc_k="" threads=2 fields warning
    local requests rps p50 p99 errors non2xx
    RUN_NO=$((RUN_NO + 1))
    printf '  [%d/%d] %-12s ... ' "$RUN_NO" "$TOTAL_RUNS" "$s"
    if ! ensure_running "$s"; then
        echo "not running (restart failed)"
        printf '%s\t%s\t%s\t%s\t%s\t%s\t\t\t\t\t\t\t\t\t%s\n' "$kind" "$case" "$file" "$mode" "$conns" "$s" \
            "server was not running" >>"$RESULTS"
        return
    fi
    a0=$(accepted "$s")
    k0=$(passive_opens)
    if [ "$kind" = wrk ]; then
        [ "$conns" -lt 2 ] && threads=1
        timeout --foreground -k 5 $((DURATION + 30)) \
            wrk -t"$threads" -c"$conns" -d"${DURATION}s" --latency --timeout 5s -s "$TMP/http10.lua" \
            "$(url "$s" "/$file.bin")" -- "/$file.bin" "$mode" >"$out" 2>&1
    else
        timeout --foreground -k 5 $((DURATION + 30)) \
            ab -q -t $((DURATION * 3)) -n "$AB_REQUESTS" -c "$conns" -s 10 "$(url "$s" /list/)" >"$out" 2>&1
    fi
    k1=$(passive_opens)
    a1=$(accepted "$s")
    [ -n "$k0" ] && [ -n "$k1" ] && acc_k=$((k1 - k0))
    # the status request after the run is counted by the server itself
    [ -n "$a0" ] && [ -n "$a1" ] && acc_s=$((a1 - a0 - 1))
    fields=$("$PY" "$HELPER" "$kind" "$out")
    IFS=$'\t' read -r requests rps p50 p99 errors non2xx <<<"$fields"
    warning=$("$PY" "$HELPER" check "$mode" "$conns" "${requests:-0}" "$acc_s" "$acc_k")
    if ! kill -0 "${SPID[$s]}" 2>/dev/null; then
        local how
        how=$(exit_text "$s")
        CRASHES[$s]=$(( ${CRASHES[$s]:-0} + 1 ))
        warning="${warning:+$warning; }the server died during or at the end of the run: $how"
        echo "${rps:-?} req/s -- $s DIED: $how; last lines of its log:"
        tail -n 4 "$(server_log "$s")" 2>/dev/null | sed 's/^/      /'
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$case" "$file" "$mode" "$conns" "$s" \
            "$requests" "$rps" "$p50" "$p99" "$errors" "$non2xx" "$acc_s" "$acc_k" "$warning" >>"$RESULTS"
        sleep 1
        return
    fi
    if [ -z "$requests" ]; then
        warning="${warning:+$warning; }no result from $kind: $(tail -n 2 "$out" | tr '\n' ' ')"
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$kind" "$case" "$file" "$mode" "$conns" "$s" \
        "$requests" "$rps" "$p50" "$p99" "$errors" "$non2xx" "$acc_s" "$acc_k" "$warning" >>"$RESULTS"
    echo "${rps:-?} req/s"
    sleep 1
}

# ---------------------------------------------------------------- run
# the machine, for the plain output and the summary
MACHINE=$(machine_description)

log "http_compare: $DURATION s per run, servers: ${SERVER_LIST[*]}$([ -n "$INSIDE_NETNS" ] && echo ", in a network namespace of its own")"
log "  machine: $MACHINE"
log "  temporary folder $TMP"
command -v nginx >/dev/null && wants nginx && log "  $(nginx -v 2>&1)"
command -v lighttpd >/dev/null && wants lighttpd && log "  $(lighttpd -v 2>&1 | head -n 1)"
log "  $(wrk -v 2>&1 | head -n 1)"
wants_qvx32 && log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T'); work tree at $(cd "$ROOT" && git log -1 --format='%h %s' 2>/dev/null | cut -c1-60)"
wants thread_floor && log "  thread_floor: $THREAD_FLOOR_SRC, $THREAD_FLOOR_THREADS threads$([ "$THREAD_FLOOR_DEFER" = 1 ] &&
    echo ", TCP_DEFER_ACCEPT"); a fixed 1 KiB page whatever the path, so in the file1k cases only"

ACTIVE=()
for s in "${SERVER_LIST[@]}"; do
    start_server "$s" || { warn "$s did not start; leaving it out"; continue; }
    if ! wait_ready "$s"; then
        warn "$s does not serve /file1k.bin on port ${PORT[$s]}; leaving it out. Last lines of its log:"
        tail -n 5 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
        stop_pid "${SPID[$s]}"
        continue
    fi
    if ! verify "$s"; then
        warn "$s fails the checks above; leaving it out"
        stop_pid "${SPID[$s]}"
        continue
    fi
    log "  $s listening on 127.0.0.1:${PORT[$s]} (pid ${SPID[$s]})"
    ACTIVE+=("$s")
done
[ ${#ACTIVE[@]} -gt 0 ] || { echo "no server to measure" >&2; exit 1; }
for s in qvx32 qvx32-diag qvx32-log; do
    wants "$s" && ! printf '%s\n' "${ACTIVE[@]}" | grep -qx "$s" && warn "$s is left out of this run"
    [ "$(accepted "$s" 2>/dev/null)" = "" ] && printf '%s\n' "${ACTIVE[@]}" | grep -qx "$s" &&
        warn "$s's /~status page shows no 'Hits' count; its connections are counted by the kernel only"
done

# runs: one per case and server that serves the case's file, one listing run each
TOTAL_RUNS=0
for s in "${ACTIVE[@]}"; do
    for f in "${FILE_LIST[@]}"; do
        serves "$s" "$f" && TOTAL_RUNS=$((TOTAL_RUNS + ${#MODE_LIST[@]} * ${#CONN_LIST[@]}))
    done
    serves "$s" list && TOTAL_RUNS=$((TOTAL_RUNS + 1))
done
log "  $TOTAL_RUNS runs, about $(( TOTAL_RUNS * (DURATION + 2) / 60 + 1 )) minutes"

log ""
log "warm-up: $WARMUP s of keep-alive load on each server"
for s in "${ACTIVE[@]}"; do
    # kept: the logging servers' line counts are set against all requests
    timeout --foreground -k 5 $((WARMUP + 20)) wrk -t2 -c16 -d"${WARMUP}s" -s "$TMP/http10.lua" \
        "$(url "$s" /file1k.bin)" -- /file1k.bin keepalive >"$TMP/out/warmup.$s.txt" 2>&1
    if ! kill -0 "${SPID[$s]}" 2>/dev/null; then
        how=$(exit_text "$s")
        CRASHES[$s]=$(( ${CRASHES[$s]:-0} + 1 ))
        warn "$s DIED during the warm-up: $how; it is restarted before its first run"
    fi
done

for file in "${FILE_LIST[@]}"; do
    for mode in "${MODE_LIST[@]}"; do
        for conns in "${CONN_LIST[@]}"; do
            case="$file-$mode-c$conns"
            log ""
            log "== $file, $mode, $conns connection(s) (wrk -t$([ "$conns" -lt 2 ] && echo 1 || echo 2) -c$conns -d${DURATION}s)"
            for s in "${ACTIVE[@]}"; do
                serves "$s" "$file" && run_one wrk "$s" "$file" "$mode" "$conns" "$case"
            done
            "$PY" "$HELPER" case "$RESULTS" "$case"
        done
    done
done

log ""
log "== folder listing /list/, 200 files (ab -c 16 -n $AB_REQUESTS, at most $((DURATION * 3)) s; nginx: autoindex)"
for s in "${ACTIVE[@]}"; do serves "$s" list && run_one ab "$s" /list/ close 16 "list-c16"; done
"$PY" "$HELPER" case "$RESULTS" "list-c16"

# Anything the servers reported while under load (most frequent lines first).
for s in "${ACTIVE[@]}"; do
    f=$(server_log "$s")
    n=$(grep -ciE 'error|fail|timed out|reset|refused|abort|assert|crit|alert|emerg' "$f" 2>/dev/null)
    if [ "${n:-0}" -gt 0 ]; then
        log ""
        warn "$s logged $n error line(s) during the whole run; most frequent:"
        grep -iE 'error|fail|timed out|reset|refused|abort|assert|crit|alert|emerg' "$f" |
            sed -E 's/^[0-9/: ]+\[/[/; s/[0-9]+#[0-9]+: \*[0-9]+ //; s/client: [0-9.]+, //' |
            sort | uniq -c | sort -rn | head -n 5 | sed 's/^/    /'
    fi
    kill -0 "${SPID[$s]}" 2>/dev/null || warn "$s is no longer running"
    [ "${CRASHES[$s]:-0}" -gt 0 ] && warn "$s died ${CRASHES[$s]} time(s) and was restarted before the next run"
done
if printf '%s\n' "${ACTIVE[@]}" | grep -qx qvx32-diag; then
    log ""
    log "qvx32-diag wrote $(wc -l <"$(server_log qvx32-diag)") lines ($(du -h "$(server_log qvx32-diag)" | cut -f1)) of console output to $(server_log qvx32-diag)"
fi
# Every request a logging server answered should be a line of its access log:
# the runs', the warm-up's, and a few more from the checks at start and the
# status page read before and after every run.
for s in qvx32-log nginx-log; do
    printf '%s\n' "${ACTIVE[@]}" | grep -qx "$s" || continue
    case "$s" in
        qvx32-log) f="$TMP/$s/logs/qvx.log" ;;
        nginx-log) f="$TMP/$s/access.log" ;;
    esac
    log ""
    if [ -f "$f" ]; then lines=$(wc -l <"$f"); else lines=0; warn "$s wrote no access log $f"; fi
    "$PY" "$HELPER" logged "$RESULTS" "$s" "$lines" "$f" "$TMP/out/warmup.$s.txt"
done

summary_heading
{
    echo "Machine: $MACHINE."
    echo
    echo "Load generator and servers on the same host over 127.0.0.1;" \
        "$DURATION s per run; servers measured one after another in each case."
    echo "Latencies are wrk's (from request write to response end, without connect time); listing latencies are ab's."
    echo "Connections per request were checked in every run with qvx32's /~status Hits, nginx's stub_status" \
        "and the kernel's TCP PassiveOpens counter (the only one for lighttpd)$([ -n "$INSIDE_NETNS" ] &&
        echo " of a network namespace that only this benchmark used" || echo ", which counts all loopback traffic of the host")."
    echo
    "$PY" "$HELPER" summary "$RESULTS"
} | tee "$TMP/summary.md"
copy_summary
