#!/usr/bin/env bash
# Compares qvx32's SMTP server with Postfix delivering to an mbox file, and
# with an aiosmtpd sink as the floor, on loopback: each server on its own
# 127.0.0.1 port, every message to one local mailbox, the servers one after
# another in each case (the order reversed every other round) and the cases
# interleaved round by round.
#
#   bench/smtp_compare.sh [--qvx32 PATH] [--messages N] [--sessions N]
#                         [--length BYTES] [--big-mb N] [--rounds N]
#                         [--quick] [--time-limit SECONDS] [--cases LIST]
#                         [--servers LIST] [--perf] [--markdown FILE]
#                         [--keep] [--no-install] [--rebuild]
#
# The cases:
#   many   smtp-source (Postfix's test generator) with -s 16 -m 5000
#          -l 2048 (--sessions, --messages, --length): 5000 messages of
#          2 KiB in 16 parallel sessions, a new connection per message,
#          HELO; messages/s from smtp-source's start until the mail file
#          holds all of them ("From " lines counted).
#   big    one message of 10 MiB (--big-mb) in lines of 76 characters
#          through Python's smtplib; MB/s (10^6 bytes) = the text sent / the
#          time from the DATA command to the reply after the closing dot;
#          then the mail file is checked to hold every line of it.
# The servers:
#   qvx32     its own settings folder (QUORVANE_ETC) with the mail domain
#             bench.test and the mail file of the user "user"; it appends
#             each message to that file and syncs it before it answers 250.
#             Its temp folder keeps two work files per message; each run
#             gets an empty one (the old one is set aside until the end).
#   postfix   a private instance (its own configuration, queue and data
#             folders under the temporary folder, started with postfix -c):
#             smtpd on its port, local delivery into an mbox file in its own
#             mail spool folder; the recipient is the system user
#             smtpbench, created when missing (and left in place).  Postfix's
#             defaults otherwise (fsync of the queue file before 250, 2
#             parallel local deliveries, in_flow_delay); its 250 comes
#             before delivery, so "many" waits for the mbox.
#   aiosmtpd  Debian's python3-aiosmtpd appending to an mbox file without
#             fsync (bench/smtp/sink.py): the floor, not a target.
# Targets: qvx32/postfix >= 1.0 for many; >= 50 MB/s for big.  Beside every
# rate: the server's CPU time (its processes, the ones it reaped included)
# per message; on a busy machine it varies less than the rates.  Before
# measuring, every server gets one message through smtplib (EHLO, falling
# back to HELO) that must reach its mail file whole; a server that fails is
# left out and the script ends with status 1.
#
# Options:
#   --qvx32 PATH        the engine (default build-rel/service/qvx32, built
#                       when missing or with --rebuild; relative paths are
#                       taken from the repository root)
#   --messages N        messages per "many" run (default 5000)
#   --sessions N        smtp-source's parallel sessions (default 16)
#   --length BYTES      smtp-source's message length (default 2048)
#   --big-mb N          size of the "big" message in MiB (default 10)
#   --rounds N          rounds of all cases (default 3); the table shows the
#                       medians of the rounds
#   --quick             a fast check: --messages 500 --rounds 1
#   --time-limit S      each run stops after S seconds (default 300)
#   --cases LIST        the cases to run (default many,big)
#   --servers LIST      the servers (default qvx32,postfix,aiosmtpd)
#   --perf              after the rounds, one more run of each case for
#                       qvx32 under perf record -g; the top of the profile
#                       is shown and kept in the temporary folder
#   --markdown FILE     also write the summary to FILE
#   --keep              keep the temporary folder
#   --no-install        fail instead of installing postfix, python3-aiosmtpd
#                       (and linux-perf with --perf)
#   --rebuild           build qvx32 (Release, build-rel) before measuring
# All mail files, queues and work files are in one temporary folder under
# $TMPDIR (default /tmp), on one file system for all three servers.  Postfix
# is installed without configuration and without starting the system's own
# instance.  Everything started is stopped on exit.  With the defaults a
# run takes about 1.5 to 3 minutes on 2 cores (one more with --perf).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
CLIENT="$ROOT/bench/smtp/smtp_client.py"
SINK="$ROOT/bench/smtp/sink.py"

QVX32="build-rel/service/qvx32"
MESSAGES=5000
SESSIONS=16
LENGTH=2048
BIG_MB=10
ROUNDS=3
TIME_LIMIT=300
CASES="many,big"
SERVERS="qvx32,postfix,aiosmtpd"
PERF=0
MARKDOWN=""
KEEP=0
INSTALL=1
REBUILD=0

while [ $# -gt 0 ]; do
    case "$1" in
        --qvx32) QVX32="$2"; shift 2 ;;
        --messages) MESSAGES="$2"; shift 2 ;;
        --sessions) SESSIONS="$2"; shift 2 ;;
        --length) LENGTH="$2"; shift 2 ;;
        --big-mb) BIG_MB="$2"; shift 2 ;;
        --rounds) ROUNDS="$2"; shift 2 ;;
        --quick) MESSAGES=500; ROUNDS=1; shift ;;
        --time-limit) TIME_LIMIT="$2"; shift 2 ;;
        --cases) CASES="$2"; shift 2 ;;
        --servers) SERVERS="$2"; shift 2 ;;
        --perf) PERF=1; shift ;;
        --markdown) MARKDOWN="$2"; shift 2 ;;
        --keep) KEEP=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --rebuild) REBUILD=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done

positive --messages "$MESSAGES"
positive --sessions "$SESSIONS"
positive --length "$LENGTH"
positive --big-mb "$BIG_MB"
positive --rounds "$ROUNDS"
positive --time-limit "$TIME_LIMIT"
IFS=, read -r -a CASE_LIST <<<"$CASES"
[ ${#CASE_LIST[@]} -gt 0 ] || { echo "--cases names no case" >&2; exit 2; }
for c in "${CASE_LIST[@]}"; do
    case "$c" in many|big) ;; *) echo "unknown case: $c (many or big)" >&2; exit 2 ;; esac
done
IFS=, read -r -a SERVER_LIST <<<"$SERVERS"
[ ${#SERVER_LIST[@]} -gt 0 ] || { echo "--servers names no server" >&2; exit 2; }
for s in "${SERVER_LIST[@]}"; do
    case "$s" in qvx32|postfix|aiosmtpd) ;;
        *) echo "unknown server: $s (qvx32, postfix or aiosmtpd)" >&2; exit 2 ;; esac
done
has() { local x; for x in "${@:2}"; do [ "$x" = "$1" ] && return 0; done; return 1; }
case "$QVX32" in /*) ;; *) QVX32="$ROOT/$QVX32" ;; esac

# ---------------------------------------------------------------- clean-up
# qvx32 and the sink are children of this script; Postfix's master daemon
# is not (postfix start detaches it), but it is stopped the same way: on
# SIGTERM it stops its own processes
stop_all_on_exit TERM

# ---------------------------------------------------------------- tools
export PATH="$PATH:/usr/sbin:/sbin"
missing=()
# smtp-source comes with postfix, which every run needs
command -v smtp-source >/dev/null || missing+=(postfix)
has aiosmtpd "${SERVER_LIST[@]}" && ! "$PY" -c 'import aiosmtpd' 2>/dev/null && missing+=(python3-aiosmtpd)
[ "$PERF" = 1 ] && ! command -v perf >/dev/null && missing+=(linux-perf)
if has postfix "${missing[@]}" && [ "$INSTALL" = 1 ]; then
    # no main.cf, and so no system instance to start
    echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
fi
install_packages "${missing[@]}"
command -v "$PY" >/dev/null || { echo "$PY is missing" >&2; exit 1; }
PF_USER=smtpbench
if has postfix "${SERVER_LIST[@]}"; then
    id postfix >/dev/null 2>&1 || { echo "Postfix needs the system user postfix, which is missing" >&2; exit 1; }
    # local delivery runs as the recipient
    if ! id "$PF_USER" >/dev/null 2>&1; then
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$PF_USER" ||
            { echo "cannot create the system user $PF_USER" >&2; exit 1; }
        log "created the system user $PF_USER (Postfix's recipient)"
    fi
fi

has qvx32 "${SERVER_LIST[@]}" && build_qvx32_if_needed smtp_compare

ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# ---------------------------------------------------------------- folder
BASE="${TMPDIR:-/tmp}"
TMP=$(mktemp -d "$BASE/smtp-compare.XXXXXX")
# Postfix's local delivery runs as $PF_USER and must reach its mail folder
chmod 755 "$TMP"
mkdir -p "$TMP/out" "$TMP/qvx32/etc" "$TMP/qvx32/run" "$TMP/qvx32/logs" "$TMP/qvx32/temp" "$TMP/qvx32/mail" \
    "$TMP/postfix/etc" "$TMP/postfix/queue" "$TMP/postfix/data" "$TMP/postfix/mail" "$TMP/aiosmtpd"
chmod 770 "$TMP/qvx32/run"

declare -A PORT=() SPID=() MAILFILE=() RCPT=()
MAILFILE[qvx32]="$TMP/qvx32/mail/user"
MAILFILE[postfix]="$TMP/postfix/mail/$PF_USER"
MAILFILE[aiosmtpd]="$TMP/aiosmtpd/mail"
RCPT[qvx32]="user@bench.test"
RCPT[postfix]="$PF_USER@bench.test"
RCPT[aiosmtpd]="user@bench.test"

# ---------------------------------------------------------------- servers
start_qvx32() {
    cat >"$TMP/qvx32/etc/quorvane.ini" <<EOF
[Options]
hostname=bench.test
tempdir=$TMP/qvx32/temp/
logdir=$TMP/qvx32/logs/
max_message_size=20971520
[Multi]
server1=mail
ip1=127.0.0.1
port1=${PORT[qvx32]}
server2=none
EOF
    cat >"$TMP/qvx32/etc/qvx_mail.ini" <<EOF
[mail domains]
bench.test=yes
[mail files]
user=${MAILFILE[qvx32]}
EOF
    QUORVANE_ETC="$TMP/qvx32/etc" QUORVANE_RUN="$TMP/qvx32/run" "$QVX32" -debug </dev/null \
        >"$TMP/qvx32/console.log" 2>&1 &
    SPID[qvx32]=$!; PIDS+=($!)
}

# A private Postfix: nothing of /etc/postfix but its metadata files
# (postfix-files) is used.  The master.cf holds the services a local
# delivery needs, none chrooted; the log goes to a file through postlogd.
start_postfix() {
    local d="$TMP/postfix" i pid
    cat >"$d/etc/main.cf" <<EOF
compatibility_level = 3.6
queue_directory = $d/queue
data_directory = $d/data
myhostname = bench.test
mydomain = bench.test
myorigin = bench.test
mydestination = bench.test, localhost
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
mail_spool_directory = $d/mail
mailbox_size_limit = 0
message_size_limit = 20971520
biff = no
smtputf8_enable = no
maillog_file = $d/postfix.log
maillog_file_prefixes = $d
EOF
    cat >"$d/etc/master.cf" <<EOF
127.0.0.1:${PORT[postfix]} inet n - n - - smtpd
pickup     unix  n - n 60 1 pickup
cleanup    unix  n - n -  0 cleanup
qmgr       unix  n - n 300 1 qmgr
rewrite    unix  - - n -  - trivial-rewrite
bounce     unix  - - n -  0 bounce
defer      unix  - - n -  0 bounce
trace      unix  - - n -  0 bounce
verify     unix  - - n -  1 verify
flush      unix  n - n 1000? 0 flush
proxymap   unix  - - n -  - proxymap
proxywrite unix  - - n -  1 proxymap
showq      unix  n - n -  - showq
error      unix  - - n -  - error
retry      unix  - - n -  - error
discard    unix  - - n -  - discard
local      unix  - n n -  - local
anvil      unix  - - n -  1 anvil
scache     unix  - - n -  1 scache
postlog    unix-dgram n - n - 1 postlogd
EOF
    chown postfix "$d/data"
    # the spool folder as on a system: anyone may add a lock file there
    chmod 1777 "$d/mail"
    install -o "$PF_USER" -m 600 /dev/null "${MAILFILE[postfix]}"
    postfix -c "$d/etc" start >"$d/start.log" 2>&1 || return 1
    for i in $(seq 50); do
        pid=$(tr -dc 0-9 <"$d/queue/pid/master.pid" 2>/dev/null)
        [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && break
        pid=""; sleep 0.1
    done
    [ -n "$pid" ] || return 1
    SPID[postfix]=$pid; PIDS+=("$pid")
}

start_aiosmtpd() {
    (cd "$TMP/aiosmtpd" && exec "$PY" "$SINK" "${PORT[aiosmtpd]}" "${MAILFILE[aiosmtpd]}") </dev/null \
        >"$TMP/aiosmtpd/stdout.log" 2>&1 &
    SPID[aiosmtpd]=$!; PIDS+=($!)
}

server_log() {
    case "$1" in
        qvx32) echo "$TMP/qvx32/console.log" ;;
        postfix) echo "$TMP/postfix/postfix.log" ;;
        aiosmtpd) echo "$TMP/aiosmtpd/stdout.log" ;;
    esac
}

# wait_ready SERVER: until it sends its "220" greeting (10 s at most); fails
# at once when its process has ended
wait_ready() {
    for _ in $(seq 100); do
        [ -n "${SPID[$1]:-}" ] && ! kill -0 "${SPID[$1]}" 2>/dev/null && return 1
        "$PY" "$CLIENT" greet "${PORT[$1]}" >"$TMP/out/greet.$1" 2>&1 && return 0
        sleep 0.1
    done
    return 1
}


# fresh SERVER: an empty mail file (Postfix's keeps its owner) and, for
# qvx32, an empty temp folder.  The old one is put aside, not emptied: on
# ext4 without a journal, creating files soon after many were deleted costs
# the allocator a search past every inode freed in the last 30 s, which
# would charge qvx32's next run for this script's clean-up.
SET_ASIDE=0
fresh() {
    : >"${MAILFILE[$1]}"
    if [ "$1" = qvx32 ] && [ -n "$(ls -A "$TMP/qvx32/temp")" ]; then
        SET_ASIDE=$((SET_ASIDE + 1))
        mv "$TMP/qvx32/temp" "$TMP/qvx32/temp.$SET_ASIDE" && mkdir "$TMP/qvx32/temp"
    fi
    return 0
}

# ---------------------------------------------------------------- runs
# Each run prints one key=value line: rate (the case's unit), the other
# numbers it has, errors, and error (what went wrong) last.
run_many() {
    timeout --foreground -k 5 $((TIME_LIMIT + 10)) "$PY" "$CLIENT" many "${MAILFILE[$1]}" "$MESSAGES" "$TIME_LIMIT" -- \
        smtp-source -s "$SESSIONS" -m "$MESSAGES" -l "$LENGTH" -f bench@bench.test -t "${RCPT[$1]}" \
        "127.0.0.1:${PORT[$1]}" 2>"$TMP/out/py.err"
}
run_big() {
    timeout --foreground -k 5 $((TIME_LIMIT + 10)) "$PY" "$CLIENT" big "${PORT[$1]}" "${RCPT[$1]}" "${MAILFILE[$1]}" \
        $((BIG_MB * 1048576)) "$TIME_LIMIT" 2>"$TMP/out/py.err"
}
messages_of() { case "$1" in many) echo "$MESSAGES" ;; big) echo 1 ;; esac; }

# measure CASE SERVER: one run, with the server's CPU time per message
# (ms) and the load average; the line goes to RESULTS
measure() {
    local c=$1 s=$2 before after line cpu load
    if ! kill -0 "${SPID[$s]}" 2>/dev/null; then
        log "  $s: no longer running"
        printf '%s\t%s\t%s\t%s\n' "$round" "$c" "$s" "rate= errors=1 error=server died" >>"$RESULTS"
        return
    fi
    fresh "$s"
    settle "${SPID[$s]}" 5
    load=$(cut -d' ' -f1 /proc/loadavg)
    before=$(tree_ticks "${SPID[$s]}")
    line=$("run_$c" "$s")
    settle "${SPID[$s]}" 5
    after=$(tree_ticks "${SPID[$s]}")
    [ -n "$line" ] || line="rate= errors=1 error=no result $(head -c 200 "$TMP/out/py.err" 2>/dev/null)"
    cpu=$(awk -v a="$before" -v b="$after" -v t="$CLK_TCK" -v n="$(messages_of "$c")" \
        'BEGIN { printf "%.3f", (b - a) / t * 1000 / n }')
    case "$line" in
        *" error="*|error=*) line="${line%%error=*} cpu=$cpu load=$load error=${line#*error=}" ;;
        *) line="$line cpu=$cpu load=$load" ;;
    esac
    kill -0 "${SPID[$s]}" 2>/dev/null || line="${line%% error=*} error=$s DIED $(field "$line" error)"
    printf '%s\t%s\t%s\t%s\n' "$round" "$c" "$s" "$line" >>"$RESULTS"
    local extra="" err n
    [ "$c" = many ] && extra="  (${MESSAGES} in $(field "$line" seconds) s)"
    [ "$c" = big ] && extra="  (DATA to 250 $(field "$line" seconds) s, in the mail file after $(field "$line" delivered) s)"
    err=$(field "$line" error); n=$(field "$line" errors)
    printf '  %-8s %9s %s%s  server CPU %s ms/msg  load %s%s\n' "$s" "$(field "$line" rate)" "${UNIT[$c]}" "$extra" \
        "$cpu" "$load" "$([ "${n:-0}" != 0 ] || [ -n "$err" ] && echo "  -- WARNING: ${n:-?} error(s) $err")"
}

# check SERVER: one message through smtplib must reach the mail file whole
check() {
    local s=$1 out
    fresh "$s"
    out=$(timeout --foreground -k 5 60 "$PY" "$CLIENT" check "${PORT[$s]}" "${RCPT[$s]}" "${MAILFILE[$s]}" 30 2>&1)
    if [ "$(field "$out" ok)" = 1 ]; then
        CHECK_GREETING=$(field "$out" greeting)
        return 0
    fi
    CHECK_ERROR=$(field "$out" error)
    [ -n "$CHECK_ERROR" ] || CHECK_ERROR=$(head -c 300 <<<"${out:-no output}")
    log "ERROR: $s: $CHECK_ERROR"
    log "  last lines of $s's log:"
    tail -n 8 "$(server_log "$s")" 2>/dev/null | sed 's/^/    /'
    return 1
}

MACHINE=$(machine_description)
PF_VERSION=$(dpkg-query -W -f='${Version}' postfix 2>/dev/null || echo "?")
AIO_VERSION=$(dpkg-query -W -f='${Version}' python3-aiosmtpd 2>/dev/null || echo "?")
LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)

log "smtp_compare: 127.0.0.1, $ROUNDS round(s), cases: ${CASE_LIST[*]}, servers: ${SERVER_LIST[*]}"
log "  machine: $MACHINE; load average now $LOAD_START"
log "  temporary folder $TMP ($(df -Pm "$BASE" | awk 'NR == 2 { print $4 }') MiB free; $(df -PT "$BASE" | awk 'NR == 2 { print $2 }'))"
has qvx32 "${SERVER_LIST[@]}" && log "  qvx32: $QVX32, built $(date -r "$QVX32" '+%F %T')"
log "  postfix $PF_VERSION (Debian package; smtp-source from it)"
has aiosmtpd "${SERVER_LIST[@]}" && log "  aiosmtpd $AIO_VERSION (Debian package), $("$PY" -V 2>&1)"
if awk -v n="$(nproc)" '{ exit !($1 > n) }' /proc/loadavg; then
    warn "the machine is busy (load average $(cut -d' ' -f1 /proc/loadavg) on $(nproc) cores): the rates will vary" \
        "from round to round; more --rounds help, and the server CPU columns vary less"
fi

# A server that does not start or fails its check is left out.
declare -A BROKEN=()
FAILED=0
log ""
for s in "${SERVER_LIST[@]}"; do
    # a port taken meanwhile by someone else: up to three ports are tried
    for _ in 1 2 3; do
        PORT[$s]=$(pick_port)
        "start_$s" && wait_ready "$s" && break
        [ -n "${SPID[$s]:-}" ] && kill -0 "${SPID[$s]}" 2>/dev/null && break   # running, but not answering
    done
    if [ -z "${SPID[$s]:-}" ] || ! kill -0 "${SPID[$s]}" 2>/dev/null || ! grep -q '^220' "$TMP/out/greet.$s"; then
        log "ERROR: $s does not greet on 127.0.0.1:${PORT[$s]}: $(tail -n 1 "$TMP/out/greet.$s" 2>/dev/null)"
        log "  last lines of its log:"
        { [ "$s" = postfix ] && cat "$TMP/postfix/start.log"; tail -n 8 "$(server_log "$s")"; } 2>/dev/null |
            sed 's/^/    /'
        BROKEN[$s]="it did not greet"; FAILED=$((FAILED + 1)); continue
    fi
    log "$s listening on 127.0.0.1:${PORT[$s]} (pid ${SPID[$s]}): $(head -c 100 "$TMP/out/greet.$s")"
    if check "$s"; then
        log "  check: one message through smtplib ($CHECK_GREETING), in ${MAILFILE[$s]#"$TMP/"}: ok"
    else
        BROKEN[$s]="it failed its check: $CHECK_ERROR"; FAILED=$((FAILED + 1))
    fi
done

[ "$FAILED" -lt ${#SERVER_LIST[@]} ] || { log ""; log "ERROR: no server to measure"; exit 1; }

declare -A UNIT=([many]="msg/s" [big]="MB/s")
RESULTS="$TMP/results.tsv"
: >"$RESULTS"
log ""
for round in $(seq "$ROUNDS"); do
    [ "$ROUNDS" -gt 1 ] && log "== round $round of $ROUNDS"
    # the order of the servers is reversed every other round
    order=("${SERVER_LIST[@]}")
    if [ $((round % 2)) = 0 ]; then
        order=(); for ((i = ${#SERVER_LIST[@]} - 1; i >= 0; i--)); do order+=("${SERVER_LIST[i]}"); done
    fi
    for c in "${CASE_LIST[@]}"; do
        log "-- $c"
        for s in "${order[@]}"; do
            [ -n "${BROKEN[$s]:-}" ] && continue
            measure "$c" "$s"
        done
    done
done

# ---------------------------------------------------------------- profile
if [ "$PERF" = 1 ] && has qvx32 "${SERVER_LIST[@]}" && [ -z "${BROKEN[qvx32]:-}" ]; then
    log ""
    log "== profile of qvx32 (perf record -g, one more run per case, not in the table)"
    round=perf
    for c in "${CASE_LIST[@]}"; do
        data="$TMP/perf.$c.data"
        perf record -q -g -o "$data" -p "${SPID[qvx32]}" >"$TMP/out/perf.$c.log" 2>&1 &
        perf_pid=$!; PIDS+=($perf_pid)
        sleep 0.5
        measure "$c" qvx32
        stop_pid "$perf_pid" INT
        # self time by function, self time by program part, and the system
        # calls with everything below them (fsync, open, recv, ...)
        perf report -i "$data" --stdio --no-children --sort dso,symbol --percent-limit 1 2>/dev/null |
            grep -E '^ +[0-9.]+%' | sed -E 's/[ -]+$//' | head -n 20 >"$TMP/perf.$c.txt"
        perf report -i "$data" --stdio --no-children --sort dso 2>/dev/null |
            grep -E '^ +[0-9.]+%' | sed -E 's/ +$//' | head -n 5 >"$TMP/perf.$c.dso.txt"
        perf report -i "$data" --stdio --children --sort symbol -g none 2>/dev/null |
            grep -E '^ +[0-9.]+% .*\] __x64_sys_' | sed -E 's/[ -]+$//' | awk '{ print "  " $1, $NF }' | head -n 10 >"$TMP/perf.$c.sys.txt"
        log "-- $c: qvx32's samples ($(perf report -i "$data" --stdio 2>/dev/null | sed -n 's/^# Samples: \([^ ]*\).*/\1/p' | head -n 1)) by program part (self):"
        sed 's/^/    /' "$TMP/perf.$c.dso.txt"
        log "   by system call (with the kernel work below it):"
        sed 's/^/    /' "$TMP/perf.$c.sys.txt"
        log "   top functions (self):"
        sed 's/^/    /' "$TMP/perf.$c.txt"
    done
    log "(the perf data: $TMP/perf.CASE.data, kept with --keep)"
fi

# ---------------------------------------------------------------- after
log ""
for s in "${SERVER_LIST[@]}"; do
    [ -n "${BROKEN[$s]:-}" ] && continue
    f=$(server_log "$s")
    n=$(grep -ciE 'error|fail|fatal|panic|timed out|timeout|refused|abort|assert|warning' "$f" 2>/dev/null)
    if [ "${n:-0}" -gt 0 ]; then
        warn "$s logged $n error or warning line(s); most frequent:"
        grep -iE 'error|fail|fatal|panic|timed out|timeout|refused|abort|assert|warning' "$f" |
            sed -E 's/^[A-Z][a-z]{2} [0-9]{2} [0-9:]{8} //; s/[0-9]+/N/g; s/\[N\]//g' |
            sort | uniq -c | sort -rn | head -n 5 | sed 's/^/    /'
    fi
    kill -0 "${SPID[$s]}" 2>/dev/null || warn "$s is no longer running"
done

summary_heading
{
    echo "Machine: $MACHINE. Load average at the start $LOAD_START, at the end $(cut -d' ' -f1-3 /proc/loadavg)."
    echo
    echo "Loopback; $ROUNDS round(s), the servers one after another in each case (the order reversed every" \
        "other round)$([ "$ROUNDS" -gt 1 ] && echo ", medians of the rounds"). many: smtp-source -s $SESSIONS" \
        "-m $MESSAGES -l $LENGTH (a connection per message, HELO), messages/s until all are in the mbox file;" \
        "big: one $BIG_MB MiB message (76-character lines) through smtplib, MB/s (10^6 bytes) from DATA to the" \
        "reply after the text, then checked whole in the mbox file. qvx32 syncs the mail file before each 250;" \
        "Postfix $PF_VERSION (Debian), a private instance with its defaults, local delivery to an mbox file" \
        "(its 250 comes once the queue file is synced, before delivery); aiosmtpd $AIO_VERSION appends to a file" \
        "without fsync (the floor). Server CPU: the server's processes, ms per message."
    for s in "${SERVER_LIST[@]}"; do
        [ -n "${BROKEN[$s]:-}" ] && { echo; echo "$s was left out: ${BROKEN[$s]}."; }
    done
    echo
    "$PY" - "$RESULTS" "$CASES" "$SESSIONS" "$MESSAGES" "$LENGTH" "$BIG_MB" <<'EOF'
import sys, statistics
path, cases, sessions, messages, length, big_mb = sys.argv[1:]
rows = [l.rstrip("\n").split("\t") for l in open(path) if l.strip()]
servers = ["qvx32", "postfix", "aiosmtpd"]

def fields(line):
    head, _, error = line.partition("error=")
    kv = dict(p.split("=", 1) for p in head.split() if "=" in p)
    return kv, error.strip()

data, loads = {}, []
for rnd, case, server, line in rows:
    if rnd == "perf":
        continue
    kv, error = fields(line)
    e = data.setdefault((case, server), {"rate": [], "cpu": [], "errors": 0, "notes": []})
    if kv.get("rate"):
        e["rate"].append(float(kv["rate"]))
        e["cpu"].append(float(kv.get("cpu") or 0))
    if kv.get("load"):
        loads.append(float(kv["load"]))
    e["errors"] += int(kv.get("errors") or 0)
    if error and error not in e["notes"]:
        e["notes"].append(error)

def med(case, server, key="rate"):
    e = data.get((case, server))
    return statistics.median(e[key]) if e and e[key] else None

def fmt(x, digits=1):
    return "-" if x is None else f"{x:,.{digits}f}"

names = {"many": f"{int(messages):,} × {int(length) / 1024:g} KiB, {sessions} sessions (msg/s)",
         "big": f"{big_mb} MiB message (MB/s)"}
print("| case | qvx32 | postfix | aiosmtpd | qvx32/postfix | target | server CPU ms/msg, "
      "qvx32 / postfix / aiosmtpd | errors, qvx32 / postfix / aiosmtpd |")
print("|---|---:|---:|---:|---:|---|---|---|")
for case in cases.split(","):
    q, p, a = (med(case, s) for s in servers)
    ratio = q / p if q is not None and p else None
    if case == "many":
        target = "qvx32/postfix >= 1.0"
        ok = None if ratio is None else ratio >= 1.0
    else:
        target = "qvx32 >= 50 MB/s"
        ok = None if q is None else q >= 50
    verdict = "" if ok is None else (" met" if ok else " MISSED")
    cpu = " / ".join(fmt(med(case, s, "cpu"), 2) for s in servers)
    errs = []
    for s in servers:
        e = data.get((case, s))
        errs.append("-" if not e else str(e["errors"]) + ("" if not e["notes"] else " (" + "; ".join(e["notes"])[:160] + ")"))
    print(f"| {names[case]} | {fmt(q)} | {fmt(p)} | {fmt(a)} | {fmt(ratio, 2)} | {target}{verdict} | {cpu} | "
          f"{' / '.join(errs)} |")
by_round = {}
for rnd, case, server, line in rows:
    kv, _ = fields(line)
    if rnd != "perf" and kv.get("rate"):
        by_round.setdefault((case, rnd), {})[server] = float(kv["rate"])
notes = []
for case in cases.split(","):
    ratios = [r["qvx32"] / r["postfix"] for (c, rnd), r in sorted(by_round.items(), key=lambda x: int(x[0][1]))
              if c == case and r.get("qvx32") and r.get("postfix")]
    if len(ratios) > 1:
        notes.append(f"qvx32/postfix round by round, {case}: {', '.join(f'{x:.2f}' for x in ratios)}.")
if notes:
    print()
    print(" ".join(notes))
if loads:
    print()
    print(f"Load average (1 min) at the start of the runs: median {statistics.median(loads):.2f}, "
          f"{min(loads):.2f} to {max(loads):.2f}.")
EOF
} | tee "$TMP/summary.md"
copy_summary
log "(the run took $SECONDS s)"
[ "$FAILED" -eq 0 ] || { log ""; log "ERROR: $FAILED server(s) left out (see above)"; exit 1; }
