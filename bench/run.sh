#!/usr/bin/env bash
# Benchmarks the relay against direct loopback, the floor relay, socat and
# haproxy in one run and writes bench/results.md, bench/results.png and
# bench/results-samples.tsv. The relay is the program users run,
# pelk-bouncer, started headless (Qt's offscreen platform) by its command
# line, window and all. The floor relay is a bare epoll relay without
# features, the lowest cost a relay can reach on this machine; it is built
# for the run from a source kept outside the repository (FLOOR_RELAY_SOURCE,
# by default ../shared/tools/floor-relay.c beside the repository) and left
# out, with a note, when that is missing. It speaks plain TCP only, so it is
# in the plaintext phases and not in those with TLS or a proxy.
# Then the same with a TLS upstream: plaintext clients, and the relay, socat
# and haproxy speaking verified TLS to one TLS echo server whose certificate
# comes from a throwaway CA made for the run; and with TLS to the clients too.
# Last, the relay reaching its upstream through a SOCKS5 proxy (microsocks),
# against clients that speak SOCKS5 to that proxy themselves.
#
#   bench/run.sh [--quick] [--repeats N] [--build-dir DIR] [--peers-only] [--no-nice]
#                [--no-tls] [--no-proxy]
#
#   --quick       smoke run: one repeat, short durations
#   --repeats N   repeats of every measurement (default 5); medians are reported
#   --build-dir   where to build (default: build-bench beside the sources)
#   --peers-only  do not build or measure the relay; build only loadgen and
#                 echod from bench/ on their own and measure the peers
#   --no-nice     keep the normal priority (by default every process of the
#                 benchmark runs at nice -10, so that other work on the machine,
#                 such as parallel builds, delays its wake-ups less)
#   --no-tls      skip the measurements with TLS
#   --no-proxy    skip the measurements through a SOCKS5 proxy
#
# Everything runs on loopback (127.0.0.1) only. Every tool this script starts
# is stopped again when it ends, however it ends. Figures are ratios against
# baselines measured in the same run, never absolute pass/fail times.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH="$ROOT/bench"
COMMAND_LINE="bench/run.sh${*:+ $*}"

REPEATS=5
QUICK=0
PEERS_ONLY=0
NICE=1
TLS=1
PROXY=1
BUILD_DIR="$ROOT/build-bench"
while (($#)); do
    case "$1" in
        --quick) QUICK=1 ;;
        --repeats) REPEATS="${2:?--repeats needs a number}"; shift ;;
        --build-dir) BUILD_DIR="${2:?--build-dir needs a folder}"; shift ;;
        --peers-only) PEERS_ONLY=1 ;;
        --no-nice) NICE=0 ;;
        --no-tls) TLS=0 ;;
        --no-proxy) PROXY=0 ;;
        -h|--help) sed -n '2,/^$/p' "$0"; exit 0 ;;
        *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
if ((QUICK)); then
    REPEATS=1
fi
[[ "$REPEATS" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --repeats must be a positive number" >&2; exit 2; }

# Durations and sizes: full run, or a short smoke run with --quick.
if ((QUICK)); then
    IPERF_SECONDS=1
    LAT_COUNT=2000
    BUSY_COUNT=1000
    WARMUP=500
    CONN_SECONDS=1
    SYSCALL_ROUND_TRIPS=2000
    CPU_SECONDS=2
    STREAM_SECONDS=1
else
    IPERF_SECONDS=3
    LAT_COUNT=10000
    BUSY_COUNT=5000
    WARMUP=1000
    CONN_SECONDS=3
    SYSCALL_ROUND_TRIPS=10000
    CPU_SECONDS=10
    STREAM_SECONDS=3
fi
IDLE_COUNTS=(0 1000 8000)
CPU_IDLE_CLIENTS=100
TLS_IDLE_CLIENTS=1000

# Each idle client relayed costs the relay two descriptors (client and
# upstream) and the load generator one; every tool started from here inherits
# the raised soft limit (the C++ tools also raise their own).
HARD_NOFILE=$(ulimit -Hn)
[[ $HARD_NOFILE == unlimited ]] && HARD_NOFILE=65536
ulimit -n "$HARD_NOFILE"
if (($(ulimit -n) < 2 * 8000 + 100)); then
    echo "run.sh: the open-file limit $(ulimit -n) is too low for 8000 idle clients" \
        "(needs $((2 * 8000 + 100)))" >&2
    exit 1
fi

log() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# ---------------------------------------------------------------- packages
ensure_packages() {
    local missing=() p
    for p in socat haproxy iperf3 microsocks openssl python3-matplotlib strace; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$p")
        fi
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
    log "installing ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" apt-get install -y "${missing[@]}"
}
ensure_packages

# Debian's python3 is the one that has python3-matplotlib.
PY=/usr/bin/python3
[[ -x "$PY" ]] || PY=python3

# ---------------------------------------------------------------- processes
TMP=$(mktemp -d /tmp/pelk-bench.XXXXXX)
PIDS=()

# True while PID runs; a child that has ended but is not yet waited for (a
# zombie) counts as ended.
alive() {
    local state
    state=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [[ -n $state && $state != Z ]]
}

# Stops one process this script started, and any children it forked (socat
# forks one per connection): TERM first, KILL if it has not gone within 2 s.
stop_pid() {
    local pid=$1 i kids=()
    read -ra kids <<<"$(ps -o pid= --ppid "$pid" 2>/dev/null | tr '\n' ' ')"
    kill -TERM "$pid" "${kids[@]}" 2>/dev/null || true
    for ((i = 0; i < 100; i++)); do
        alive "$pid" || break
        sleep 0.02
    done
    if alive "$pid"; then
        # Still there: its children are listed afresh, so no id that has
        # meanwhile been reused by another process is hit.
        read -ra kids <<<"$(ps -o pid= --ppid "$pid" 2>/dev/null | tr '\n' ' ')"
        kill -KILL "$pid" "${kids[@]}" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
    local keep=() p
    for p in "${PIDS[@]}"; do [[ "$p" == "$pid" ]] || keep+=("$p"); done
    PIDS=("${keep[@]}")
}

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---------------------------------------------------------------- building
BUILD_LOG="$TMP/build.log"
build() {
    if ! "$@" >>"$BUILD_LOG" 2>&1; then
        tail -30 "$BUILD_LOG" >&2
        log "build failed: $*"
        exit 1
    fi
}
if ((PEERS_ONLY)); then
    BUILD_DIR="${BUILD_DIR}-tools"
    log "building loadgen and echod in $BUILD_DIR"
    build cmake -S "$BENCH" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release
    build cmake --build "$BUILD_DIR" -j2 --target loadgen echod
    TOOLS="$BUILD_DIR"
else
    log "building pelk-bouncer, loadgen and echod in $BUILD_DIR (Release)"
    build cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DPELK_BENCH=ON -DBUILD_TESTING=OFF
    build cmake --build "$BUILD_DIR" -j2 --target pelk-bouncer loadgen echod
    TOOLS="$BUILD_DIR/bench"
    RELAY_PROGRAM="$BUILD_DIR/window/pelk-bouncer"
fi
LOADGEN="$TOOLS/loadgen"
ECHOD="$TOOLS/echod"
if grep -q "warning:" "$BUILD_LOG"; then
    log "the build printed warnings:"
    grep "warning:" "$BUILD_LOG" | head -20 >&2
fi

# The floor relay, built into this run's temporary folder (never into the
# repository). Without its source, or when it does not build, the run goes
# on without it; FLOOR_NOTE says why, in the log and in results.md.
FLOOR_RELAY_SOURCE="${FLOOR_RELAY_SOURCE:-$ROOT/../shared/tools/floor-relay.c}"
FLOOR_RELAY=""
FLOOR_NOTE=""
if [[ ! -f $FLOOR_RELAY_SOURCE ]]; then
    FLOOR_NOTE="its source $FLOOR_RELAY_SOURCE is missing"
elif ! command -v gcc >/dev/null; then
    FLOOR_NOTE="gcc, which builds it, is missing"
elif ! gcc -O2 -o "$TMP/floor-relay" "$FLOOR_RELAY_SOURCE" >"$TMP/floor-build.log" 2>&1; then
    tail -5 "$TMP/floor-build.log" >&2
    FLOOR_NOTE="its source $FLOOR_RELAY_SOURCE did not build with gcc -O2"
else
    FLOOR_RELAY="$TMP/floor-relay"
    log "built the floor relay from $FLOOR_RELAY_SOURCE"
fi
if [[ -n $FLOOR_NOTE ]]; then
    log "floor relay skipped: $FLOOR_NOTE; the run goes on without it"
fi


# start NAME COMMAND...: runs COMMAND in the background with its output in
# $TMP/NAME.out and $TMP/NAME.err; its pid is left in LAST_PID.
start() {
    local name=$1
    shift
    # Emptied here, not only by the background redirection, which may run
    # after port_of has already read a previous run's "listening" line.
    : >"$TMP/$name.out"
    : >"$TMP/$name.err"
    "$@" >>"$TMP/$name.out" 2>>"$TMP/$name.err" &
    LAST_PID=$!
    PIDS+=("$LAST_PID")
}


# Waits (at most 5 s) for a tool that prints "listening <port>" (echod) or
# the bare port (the floor relay); prints the port.
port_of() {
    local name=$1 pid=$2 i port
    for ((i = 0; i < 250; i++)); do
        port=$(awk '$1 == "listening" { print $2; exit }
                    NF == 1 && $1 ~ /^[0-9]+$/ { print $1; exit }' "$TMP/$name.out" 2>/dev/null || true)
        if [[ -n "$port" ]]; then echo "$port"; return 0; fi
        alive "$pid" || break
        sleep 0.02
    done
    log "$name did not start: $(tail -3 "$TMP/$name.err" 2>/dev/null)"
    return 1
}

# Waits (at most 5 s) until something listens on 127.0.0.1:PORT, looking at
# the kernel's socket table rather than connecting, which would disturb iperf3.
wait_listen() {
    local port=$1 pid=$2 name=$3 hex i
    hex=$(printf ':%04X' "$port")
    for ((i = 0; i < 250; i++)); do
        if awk -v p="$hex" '$4 == "0A" && substr($2, length($2) - 4) == p { f = 1 } END { exit !f }' \
            /proc/net/tcp /proc/net/tcp6; then
            return 0
        fi
        alive "$pid" || break
        sleep 0.02
    done
    log "$name is not listening on $port: $(tail -3 "$TMP/$name.err" 2>/dev/null)"
    return 1
}

# A port that is free now, picked by the kernel.
free_port() {
    "$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_haproxy_cfg() { # FILE LISTEN_PORT UPSTREAM_PORT
    cat >"$1" <<EOF
global
    nbthread 1
    maxconn 9000

defaults
    mode tcp
    timeout connect 5s
    timeout client 120s
    timeout server 120s

frontend bench_in
    bind 127.0.0.1:$2${TLS_LISTEN:+ ssl crt $TLS_LISTEN}
    default_backend bench_up

backend bench_up
    server upstream 127.0.0.1:$3${TLS_CA:+ ssl verify required ca-file $TLS_CA no-ssl-reuse}
EOF
}

# The CA file that upstreams' certificates are checked against while the TLS
# measurements run; empty before, when every upstream is plaintext.
TLS_CA=""
# The PEM file (certificate, then its key) that relaying processes present to
# their clients while those speak TLS to them; empty while they do not.
TLS_LISTEN=""
# The proxy the relay reaches its upstream through; empty: directly.
PROXY_URL=""

# The program's runtime folder (Qt asks for one; without it, it warns and
# uses one under /tmp of its own making).
mkdir -m 700 "$TMP/xdg-runtime"

# serve KIND NAME UPSTREAM_PORT: starts a relaying process of KIND (relay,
# floor, socat or haproxy) in front of 127.0.0.1:UPSTREAM_PORT, speaking TLS
# to it (verified against TLS_CA) when TLS_CA is set, and to its clients
# (haproxy and the relay) when TLS_LISTEN is; the floor relay does neither.
# Sets SRV_PID and SRV_PORT; returns non-zero when it did not come up.
serve() {
    local kind=$1 name=$2 up=$3 port=""
    SRV_PID=""
    SRV_PORT=""
    case $kind in
        relay)
            # The program as a person starts it from a shell, its window drawn
            # off screen; --start presses Start. It prints no port, so one is
            # picked here, as for socat and haproxy.
            port=$(free_port) || return 1
            local run=(env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$TMP/xdg-runtime")
            local listen="127.0.0.1:$port"
            if [[ -n $TLS_CA ]]; then
                run+=(SSL_CERT_FILE="$TLS_CA" SSL_CERT_DIR="$TMP/tls/none")
                up="+$up"
            fi
            run+=("$RELAY_PROGRAM")
            if [[ -n $TLS_LISTEN ]]; then
                run+=(--listen-certificate "$TLS_LISTEN" --listen-key "$TLS_LISTEN")
                listen="127.0.0.1:+$port"
            fi
            [[ -n $PROXY_URL ]] && run+=(--proxy "$PROXY_URL")
            start "$name" "${run[@]}" --listen-port "$listen" --server 127.0.0.1 --port "$up" --start
            SRV_PID=$LAST_PID
            wait_listen "$port" "$SRV_PID" "$name" || return 1
            ;;
        floor)
            if [[ -z $FLOOR_RELAY || -n $TLS_CA$TLS_LISTEN$PROXY_URL ]]; then
                log "$name: the floor relay is not built, or cannot do TLS or a proxy"
                return 1
            fi
            start "$name" "$FLOOR_RELAY" "$up"
            SRV_PID=$LAST_PID
            port=$(port_of "$name" "$SRV_PID") || return 1
            ;;
        socat)
            port=$(free_port) || return 1
            local upstream="TCP:127.0.0.1:$up"
            [[ -n $TLS_CA ]] && upstream="OPENSSL:127.0.0.1:$up,verify=1,cafile=$TLS_CA"
            start "$name" socat -b 262144 "TCP-LISTEN:$port,reuseaddr,fork,bind=127.0.0.1" \
                "$upstream"
            SRV_PID=$LAST_PID
            wait_listen "$port" "$SRV_PID" "$name" || return 1
            ;;
        haproxy)
            port=$(free_port) || return 1
            write_haproxy_cfg "$TMP/$name.cfg" "$port" "$up"
            start "$name" haproxy -f "$TMP/$name.cfg" -db
            SRV_PID=$LAST_PID
            wait_listen "$port" "$SRV_PID" "$name" || return 1
            ;;
        *) return 1 ;;
    esac
    SRV_PORT=$port
}

# ---------------------------------------------------------------- samples
SAMPLES="$TMP/samples.tsv"
printf 'phase\ttarget\tparam\trep\tkey\tvalue\n' >"$SAMPLES"

# record PHASE TARGET PARAM REP "k=v k=v ...": one row per pair.
record() {
    local phase=$1 target=$2 param=$3 rep=$4 kv
    for kv in $5; do
        [[ "$kv" == *=* ]] || continue
        printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$phase" "$target" "$param" "$rep" "${kv%%=*}" "${kv#*=}" >>"$SAMPLES"
    done
}

record_error() { # PHASE TARGET PARAM REP MESSAGE
    log "FAILED: $1 $2 $3 (repeat $4): $5"
    printf '%s\t%s\t%s\t%s\terror\t%s\n' "$1" "$2" "$3" "$4" "${5//[$'\t\n']/ }" >>"$SAMPLES"
}

# Targets in a different order on every repeat, so no target always runs
# right after the same neighbour.
rotated() { # REP NAME...
    local rep=$1
    shift
    local n=$# i
    local list=("$@")
    for ((i = 0; i < n; i++)); do echo "${list[$(((i + rep) % n))]}"; done
}

# The relays that the plaintext phases measure beside the peers: the relay
# (unless --peers-only) and the floor relay (when it was built).
PRODUCT=() # the relay, unless --peers-only
((PEERS_ONLY)) || PRODUCT=(relay)
RELAYS=("${PRODUCT[@]}")
if [[ -n $FLOOR_RELAY ]]; then RELAYS+=(floor); fi
PEERS=("${RELAYS[@]}" direct socat haproxy)

# Starts every relaying peer in front of UPSTREAM_PORT; fills the arrays
# PORT_OF and PID_OF (direct: the upstream itself). ARGS_OF holds the load
# generator's options for a target, when it needs any (--tls, --socks5).
declare -A PORT_OF PID_OF ARGS_OF
serve_all() { # SUFFIX UPSTREAM_PORT UPSTREAM_PID
    local kind
    PORT_OF=([direct]=$2)
    PID_OF=([direct]=$3)
    ARGS_OF=()
    for kind in "${PEERS[@]}"; do
        [[ $kind == direct ]] && continue
        if serve "$kind" "$kind-$1" "$2"; then
            PORT_OF[$kind]=$SRV_PORT
            PID_OF[$kind]=$SRV_PID
        else
            log "$kind-$1 did not start; its measurements are recorded as failed"
            if [[ -n $SRV_PID ]]; then stop_pid "$SRV_PID"; fi
        fi
    done
}

# CPU ticks used so far by PID and by its children that it has waited for
# (socat's per-connection children): utime + stime + cutime + cstime.
proc_ticks() {
    awk '{ sub(/^.*\) /, ""); print $12 + $13 + $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

# per_unit NAME TICKS LINE KEY SCALE: prints NAME=, the CPU time of TICKS in
# ms times SCALE divided by the value of KEY in the key=value pairs of LINE.
CLK_TCK=$(getconf CLK_TCK)
per_unit() {
    awk -v name="$1" -v t="$2" -v hz="$CLK_TCK" -v l="$3" -v key="$4" -v scale="$5" '
        BEGIN {
            n = split(l, kv, /[ =]/)
            for (i = 1; i < n; i += 2) v[kv[i]] = kv[i + 1]
            if (v[key] > 0) printf "%s=%.1f", name, t * 1000 / hz * scale / v[key]
        }'
}

# Round trips of short lines on this 2-core VM depend mostly on where the
# scheduler puts the processes of the path: a wake-up that crosses to the other
# core costs tens of microseconds, one on the same core a few. So latency is
# measured twice: as the scheduler places things ("free"), and with the load
# generator, the relaying process and echod all on one core ("pinned"), which
# gives every path the same placement and measures its own cost.
ALL_CPUS="0-$(($(nproc) - 1))"
PIN_CPU=$(($(nproc) - 1))
pin() { # CPU_LIST PID...: every thread of each PID
    local cpus=$1 p
    shift
    for p in "$@"; do taskset -apc "$cpus" "$p" >/dev/null 2>&1 || true; done
}

# Logs any of them that has died during a phase.
check_all() { # SUFFIX
    local kind
    for kind in "${!PID_OF[@]}"; do
        [[ $kind == direct ]] && continue
        alive "${PID_OF[$kind]}" || log "$kind-$1 has died: $(tail -5 "$TMP/$kind-$1.err" 2>/dev/null)"
    done
}

# Stops every relaying peer that serve_all started, after logging any that
# has died meanwhile; the upstream keeps running.
stop_all() { # SUFFIX
    local kind
    check_all "$1"
    for kind in "${!PID_OF[@]}"; do
        [[ $kind == direct ]] || stop_pid "${PID_OF[$kind]}"
    done
}

# Every target, peer and load generator is started from this shell and so
# inherits its priority: all are treated alike.
PRIORITY="nice 0"
if ((NICE)); then
    if renice -n -10 -p $$ >/dev/null 2>&1; then
        PRIORITY="nice -10"
    else
        log "could not raise the priority (not root?); running at nice 0"
    fi
fi

START_SECONDS=$SECONDS
LOAD_AT_START=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- 1) bulk throughput
log "1/11 bulk throughput (iperf3 -t $IPERF_SECONDS, $REPEATS repeats)"
IPERF_PORT=$(free_port)
start iperf3-server iperf3 -s -B 127.0.0.1 -p "$IPERF_PORT"
IPERF_PID=$LAST_PID
wait_listen "$IPERF_PORT" "$IPERF_PID" iperf3-server || exit 1
serve_all iperf "$IPERF_PORT" "$IPERF_PID"

for ((rep = 1; rep <= REPEATS; rep++)); do
    for target in $(rotated "$rep" "${PEERS[@]}"); do
        for dir in fwd rev; do
            port=${PORT_OF[$target]:-}
            if [[ -z $port ]]; then
                record_error thru "$target" "$dir" "$rep" "not running"
                continue
            fi
            flags=()
            [[ $dir == rev ]] && flags=(-R)
            out="$TMP/iperf.json"
            pid=${PID_OF[$target]}
            ticks0=$(proc_ticks "$pid")
            if timeout $((IPERF_SECONDS + 20)) iperf3 -c 127.0.0.1 -p "$port" -t "$IPERF_SECONDS" \
                --connect-timeout 3000 -J "${flags[@]}" >"$out" 2>"$TMP/iperf.err"; then
                sleep 0.2 # lets socat reap its child, whose CPU time then counts
                ticks1=$(proc_ticks "$pid")
                # Throughput, and the CPU time the relaying process spent per
                # GB moved (not for direct, where the "relay" is iperf3 itself).
                record thru "$target" "$dir" "$rep" \
                    "$("$PY" "$BENCH/report.py" iperf "$out" "$ticks0" "$ticks1" "$target")"
            else
                record_error thru "$target" "$dir" "$rep" \
                    "iperf3: $(grep -o '"error":[^}]*' "$out" | head -1) $(tail -2 "$TMP/iperf.err")"
            fi
            sleep 0.2
        done
    done
done
check_all iperf
for pid in "${PIDS[@]}"; do stop_pid "$pid"; done

# ---------------------------------------------------------------- 2) latency
# measure_latency PHASE MODE...: round trips through every target in PEERS,
# free and/or pinned; pinned, echod, the target's process and those in
# PIN_ALSO share the load generator's core.
PIN_ALSO=()
measure_latency() {
    local phase=$1 rep target mode port run line extra
    shift
    for ((rep = 1; rep <= REPEATS; rep++)); do
        for target in $(rotated "$rep" "${PEERS[@]}"); do
            for mode in "$@"; do
                port=${PORT_OF[$target]:-}
                if [[ -z $port ]]; then
                    record_error "$phase" "$target" "$mode" "$rep" "not running"
                    continue
                fi
                read -ra extra <<<"${ARGS_OF[$target]:-}"
                run=("$LOADGEN")
                if [[ $mode == pinned ]]; then
                    pin "$PIN_CPU" "$ECHO_PID" "${PID_OF[$target]}" "${PIN_ALSO[@]}"
                    run=(taskset -c "$PIN_CPU" "$LOADGEN")
                fi
                if line=$(timeout 120 "${run[@]}" latency 127.0.0.1 "$port" "$LAT_COUNT" \
                    --warmup "$WARMUP" "${extra[@]}" 2>"$TMP/loadgen.err"); then
                    record "$phase" "$target" "$mode" "$rep" "$line"
                else
                    record_error "$phase" "$target" "$mode" "$rep" "$(tail -2 "$TMP/loadgen.err")"
                fi
                pin "$ALL_CPUS" "$ECHO_PID" "${PID_OF[$target]}" "${PIN_ALSO[@]}"
            done
        done
    done
}

log "2/11 latency of short lines ($LAT_COUNT round trips, free and pinned, $REPEATS repeats)"
start echod "$ECHOD" 0
ECHO_PID=$LAST_PID
ECHO_PORT=$(port_of echod "$ECHO_PID") || exit 1
serve_all echo "$ECHO_PORT" "$ECHO_PID"

measure_latency lat free pinned

# ---------------------------------------------------------------- 5) connection rate
# measure_connrate PHASE: the connection rate of every target in PEERS, and
# the CPU time its relaying process spent per connection; and that of
# PROXY_PID, when set, a proxy on every path (proxy_cpu_us_per_conn).
PROXY_PID=""
measure_connrate() {
    local phase=$1 rep target port pid ticks0 ticks1 proxy0 proxy1 line extra
    for ((rep = 1; rep <= REPEATS; rep++)); do
        for target in $(rotated "$rep" "${PEERS[@]}"); do
            port=${PORT_OF[$target]:-}
            if [[ -z $port ]]; then
                record_error "$phase" "$target" - "$rep" "not running"
                continue
            fi
            read -ra extra <<<"${ARGS_OF[$target]:-}"
            pid=${PID_OF[$target]}
            ticks0=$(proc_ticks "$pid")
            [[ -n $PROXY_PID ]] && proxy0=$(proc_ticks "$PROXY_PID")
            if line=$(timeout $((CONN_SECONDS + 30)) "$LOADGEN" connrate 127.0.0.1 "$port" \
                "$CONN_SECONDS" --concurrency 8 "${extra[@]}" 2>"$TMP/loadgen.err"); then
                sleep 0.2 # lets socat reap its children, whose CPU time then counts
                ticks1=$(proc_ticks "$pid")
                [[ $target == direct || $pid == "$PROXY_PID" ]] ||
                    line+=" $(per_unit cpu_us_per_conn $((ticks1 - ticks0)) "$line" conns 1000)"
                if [[ -n $PROXY_PID ]]; then
                    proxy1=$(proc_ticks "$PROXY_PID")
                    line+=" $(per_unit proxy_cpu_us_per_conn $((proxy1 - proxy0)) "$line" conns 1000)"
                fi
                record "$phase" "$target" - "$rep" "$line"
            else
                record_error "$phase" "$target" - "$rep" "$(tail -2 "$TMP/loadgen.err")"
            fi
            # Lets closed connections age past the 1 s after which loopback
            # TIME_WAIT ports may be reused, so no run starts short of ports.
            sleep 1
        done
    done
}

# Measured here, while the same relays and peers in front of echod are up.
log "5/11 connection rate (${CONN_SECONDS}s, 8 in flight, $REPEATS repeats)"
measure_connrate conn

# ---------------------------------------------------------------- system calls
# strace -c on the relaying process over a fixed number of round trips, and
# over a connection-rate run: the calls one round trip and one connection
# cost it. strace slows the process down; only the counts are kept.
# traced_calls NAME PID COMMAND...: runs COMMAND while strace counts PID's
# calls; leaves "sc_<call>=<count> ..." in TRACED and COMMAND's output in
# TRACED_OUT.
traced_calls() {
    local name=$1 pid=$2 i
    shift 2
    start "$name" strace -c -f -o "$TMP/$name.counts" -p "$pid"
    local spid=$LAST_PID
    for ((i = 0; i < 250; i++)); do # until attached: strace says so on stderr
        grep -q "attached" "$TMP/$name.err" 2>/dev/null && break
        sleep 0.02
    done
    TRACED_OUT=$("$@" 2>>"$TMP/loadgen.err") || TRACED_OUT=""
    kill -INT "$spid" 2>/dev/null || true
    wait "$spid" 2>/dev/null || true
    stop_pid "$spid"
    TRACED=$(awk '$NF ~ /^[a-z_0-9]+$/ && $NF != "syscall" && $NF != "total" && $4 ~ /^[0-9]+$/ {
                  printf "sc_%s=%s ", $NF, $4 }' "$TMP/$name.counts" 2>/dev/null)
}
log "system calls per round trip ($SYSCALL_ROUND_TRIPS) and per connection (strace -c)"
for target in "${RELAYS[@]}" haproxy; do
    port=${PORT_OF[$target]:-}
    if [[ -z $port ]]; then
        record_error syscalls "$target" rt 1 "not running"
        continue
    fi
    pid=${PID_OF[$target]}
    "$LOADGEN" latency 127.0.0.1 "$port" 100 >/dev/null 2>&1 || true
    for what in rt conn; do
        if [[ $what == rt ]]; then
            run=("$LOADGEN" latency 127.0.0.1 "$port" "$SYSCALL_ROUND_TRIPS" --warmup 0)
        else
            run=("$LOADGEN" connrate 127.0.0.1 "$port" "$CONN_SECONDS" --concurrency 8)
        fi
        traced_calls "strace-$target" "$pid" "${run[@]}"
        if [[ -n $TRACED_OUT && -n $TRACED ]]; then
            # Per round trip: the count asked for; per connection: loadgen's conns=.
            [[ $what == rt ]] && TRACED_OUT="round_trips=$SYSCALL_ROUND_TRIPS"
            record syscalls "$target" "$what" 1 "$TRACED_OUT $TRACED"
        else
            record_error syscalls "$target" "$what" 1 "strace or loadgen failed: $(tail -2 "$TMP/loadgen.err")"
        fi
        sleep 1
    done
done
stop_all echo

# ---------------------------------------------------------------- 3+4) idle clients
# A fresh relay (and, for reference, a fresh floor relay and haproxy) per
# run, so that each memory delta starts from the same state. The busy client's round trips are
# taken pinned to one core, as in 2, so that a change of placement between the
# measurement without and with idle clients is not taken for their effect.
IDLE_TARGETS=("${RELAYS[@]}" haproxy)
log "3-4/11 busy round trip and memory with ${IDLE_COUNTS[*]} idle clients ($REPEATS repeats)"
for ((rep = 1; rep <= REPEATS; rep++)); do
    for n in "${IDLE_COUNTS[@]}"; do
        for target in $(rotated "$rep" "${IDLE_TARGETS[@]}"); do
            if ! serve "$target" "$target-idle" "$ECHO_PORT"; then
                record_error idle "$target" "$n" "$rep" "did not start"
                [[ -n $SRV_PID ]] && stop_pid "$SRV_PID"
                continue
            fi
            pin "$PIN_CPU" "$ECHO_PID" "$SRV_PID"
            if line=$(timeout 300 taskset -c "$PIN_CPU" "$LOADGEN" idle 127.0.0.1 "$SRV_PORT" "$n" \
                "$BUSY_COUNT" --pid "$SRV_PID" --warmup "$WARMUP" --paired 2>"$TMP/loadgen.err"); then
                record idle "$target" "$n" "$rep" "$line"
            else
                record_error idle "$target" "$n" "$rep" "${line:-} $(tail -2 "$TMP/loadgen.err")"
            fi
            pin "$ALL_CPUS" "$ECHO_PID"
            alive "$SRV_PID" || log "$target-idle has died: $(tail -5 "$TMP/$target-idle.err")"
            stop_pid "$SRV_PID"
        done
    done
done

# ---------------------------------------------------------------- 6) idle CPU
# The relay and the floor relay, each fresh, with idle clients only.
if ((${#RELAYS[@]})); then
    log "6/11 idle CPU: $CPU_IDLE_CLIENTS idle clients for ${CPU_SECONDS}s ($REPEATS repeats)"
fi
for ((rep = 1; rep <= REPEATS; rep++)); do
    for target in $(rotated "$rep" "${RELAYS[@]}"); do
        if ! serve "$target" "$target-cpu" "$ECHO_PORT"; then
            record_error cpu "$target" "$CPU_IDLE_CLIENTS" "$rep" "did not start"
            [[ -n $SRV_PID ]] && stop_pid "$SRV_PID"
            continue
        fi
        if line=$(timeout $((CPU_SECONDS + 120)) "$LOADGEN" idle 127.0.0.1 "$SRV_PORT" \
            "$CPU_IDLE_CLIENTS" 0 --pid "$SRV_PID" --settle-ms 1000 --cpu-seconds "$CPU_SECONDS" \
            2>"$TMP/loadgen.err"); then
            record cpu "$target" "$CPU_IDLE_CLIENTS" "$rep" "$line"
        else
            record_error cpu "$target" "$CPU_IDLE_CLIENTS" "$rep" "${line:-} $(tail -2 "$TMP/loadgen.err")"
        fi
        stop_pid "$SRV_PID"
    done
done
for pid in "${PIDS[@]}"; do stop_pid "$pid"; done

# ---------------------------------------------------------------- 7-10) TLS
# A throwaway CA and a certificate for 127.0.0.1 from it (ECDSA P-256, as
# many servers now use), made here and gone with $TMP; the certificate is
# also in server-and-key.pem with its key, for the processes that present it
# to their clients.
make_tls_certificates() { # DIR
    local dir=$1
    mkdir -p "$dir" "$dir/none"
    printf '%s\n' "subjectAltName=IP:127.0.0.1" "basicConstraints=CA:FALSE" \
        "keyUsage=digitalSignature" "extendedKeyUsage=serverAuth" >"$dir/server.ext"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=Pelk benchmark CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" &&
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
            -subj "/CN=127.0.0.1" -keyout "$dir/server.key" -out "$dir/server.csr" &&
        openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
            -CAcreateserial -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" &&
        cat "$dir/server.pem" "$dir/server.key" >"$dir/server-and-key.pem"
}

# measure_tls_idle PHASE [LOADGEN_OPTION...]: the memory per idle client at
# TLS_IDLE_CLIENTS of a fresh process of every one of TLS_IDLE_TARGETS: the
# relay and haproxy (the floor relay speaks no TLS).
TLS_IDLE_TARGETS=("${PRODUCT[@]}" haproxy)
measure_tls_idle() {
    local phase=$1 rep target line
    shift
    for ((rep = 1; rep <= REPEATS; rep++)); do
        for target in $(rotated "$rep" "${TLS_IDLE_TARGETS[@]}"); do
            if ! serve "$target" "$target-$phase" "$TLS_ECHO_PORT"; then
                record_error "$phase" "$target" "$TLS_IDLE_CLIENTS" "$rep" "did not start"
                [[ -n $SRV_PID ]] && stop_pid "$SRV_PID"
                continue
            fi
            if line=$(timeout 300 "$LOADGEN" idle 127.0.0.1 "$SRV_PORT" "$TLS_IDLE_CLIENTS" \
                "$BUSY_COUNT" --pid "$SRV_PID" --warmup "$WARMUP" --paired "$@" 2>"$TMP/loadgen.err"); then
                record "$phase" "$target" "$TLS_IDLE_CLIENTS" "$rep" "$line"
            else
                record_error "$phase" "$target" "$TLS_IDLE_CLIENTS" "$rep" \
                    "${line:-} $(tail -2 "$TMP/loadgen.err")"
            fi
            alive "$SRV_PID" || log "$target-$phase has died: $(tail -5 "$TMP/$target-$phase.err")"
            stop_pid "$SRV_PID"
        done
    done
}

if ((TLS)); then
    if ! make_tls_certificates "$TMP/tls" >"$TMP/tls-certificates.log" 2>&1; then
        tail -5 "$TMP/tls-certificates.log" >&2
        log "could not make the test certificates"
        exit 1
    fi
    TLS_CA="$TMP/tls/ca.pem"
    start echod-tls "$ECHOD" --tls "$TMP/tls/server.pem" "$TMP/tls/server.key" 0
    TLS_ECHO_PID=$LAST_PID
    TLS_ECHO_PORT=$(port_of echod-tls "$TLS_ECHO_PID") || exit 1
    # No direct path: the load generator speaks plaintext, the server TLS;
    # no floor relay, which speaks no TLS.
    PEERS=("${PRODUCT[@]}" socat haproxy)
    serve_all tls "$TLS_ECHO_PORT" "$TLS_ECHO_PID"

    log "7/11 TLS throughput (echo stream for ${STREAM_SECONDS}s, $REPEATS repeats)"
    for ((rep = 1; rep <= REPEATS; rep++)); do
        for target in $(rotated "$rep" "${PEERS[@]}"); do
            port=${PORT_OF[$target]:-}
            if [[ -z $port ]]; then
                record_error tls_thru "$target" echo "$rep" "not running"
                continue
            fi
            pid=${PID_OF[$target]}
            ticks0=$(proc_ticks "$pid")
            if line=$(timeout $((STREAM_SECONDS + 30)) "$LOADGEN" stream 127.0.0.1 "$port" \
                "$STREAM_SECONDS" 2>"$TMP/loadgen.err"); then
                sleep 0.2 # lets socat reap its child, whose CPU time then counts
                ticks1=$(proc_ticks "$pid")
                # CPU time of the relaying process per GB echoed (each byte
                # is encrypted on its way up and decrypted on its way back),
                # over the whole stream, unmeasured start included.
                record tls_thru "$target" echo "$rep" \
                    "$line $(per_unit cpu_ms_per_gb $((ticks1 - ticks0)) "$line" total_bytes 1e9)"
            else
                record_error tls_thru "$target" echo "$rep" "$(tail -2 "$TMP/loadgen.err")"
            fi
            sleep 0.2
        done
    done

    log "8/11 TLS handshakes (${CONN_SECONDS}s, 8 in flight, $REPEATS repeats)"
    measure_connrate tls_conn
    stop_all tls

    # A fresh process per run, as in 3-4. The busy client's round trips come
    # first (--paired), so the TLS context and whatever else the first TLS
    # connection sets up once are in the "before" figure; what the idle
    # clients add is theirs alone.
    log "9/11 memory per idle TLS client at $TLS_IDLE_CLIENTS ($REPEATS repeats)"
    measure_tls_idle tls_idle

    # TLS to the clients as well: each client's handshake with the relaying
    # process, and that process's own handshake with echod, both full. The
    # same certificate, made for the run, for the relay and haproxy.
    TLS_LISTEN="$TMP/tls/server-and-key.pem"
    log "10/11 TLS on both sides: memory per idle client at $TLS_IDLE_CLIENTS, handshakes" \
        "(${CONN_SECONDS}s, 8 in flight), $REPEATS repeats"
    measure_tls_idle tls_both_idle --tls
    PEERS=("${TLS_IDLE_TARGETS[@]}")
    serve_all tls-both "$TLS_ECHO_PORT" "$TLS_ECHO_PID"
    for target in "${PEERS[@]}"; do ARGS_OF[$target]=--tls; done
    measure_connrate tls_both_conn
    stop_all tls-both
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
    TLS_CA=""
    TLS_LISTEN=""
fi

# ---------------------------------------------------------------- 11) SOCKS5 proxy
# Two paths to one echod through microsocks: the load generator speaking
# SOCKS5 to it itself ("proxy"), and the relay doing so for plaintext
# clients ("relay+proxy"). Latency pinned as in 2, with microsocks (whose
# per-connection threads inherit its affinity) on the same core; connection
# rate as in 5, with microsocks' CPU time per connection beside the relay's.
# No floor relay here: it speaks no SOCKS5.
if ((PROXY)); then
    log "11/11 through a SOCKS5 proxy: latency (pinned) and connection rate ($REPEATS repeats)"
    start echod-socks "$ECHOD" 0
    ECHO_PID=$LAST_PID
    ECHO_PORT=$(port_of echod-socks "$ECHO_PID") || exit 1
    SOCKS_PORT=$(free_port)
    start proxy-socks microsocks -i 127.0.0.1 -p "$SOCKS_PORT"
    PROXY_PID=$LAST_PID
    wait_listen "$SOCKS_PORT" "$PROXY_PID" proxy-socks || exit 1
    PORT_OF=([proxy]=$ECHO_PORT)
    PID_OF=([proxy]=$PROXY_PID)
    ARGS_OF=([proxy]="--socks5 127.0.0.1:$SOCKS_PORT")
    PEERS=(proxy)
    if ! ((PEERS_ONLY)); then
        PEERS=(relay+proxy proxy)
        PROXY_URL="socks5://127.0.0.1:$SOCKS_PORT"
        if serve relay relay+proxy-socks "$ECHO_PORT"; then
            PORT_OF[relay+proxy]=$SRV_PORT
            PID_OF[relay+proxy]=$SRV_PID
        else
            log "relay+proxy-socks did not start; its measurements are recorded as failed"
        fi
        PROXY_URL=""
    fi
    PIN_ALSO=("$PROXY_PID")
    measure_latency proxy_lat pinned
    PIN_ALSO=()
    measure_connrate proxy_conn
    PROXY_PID=""
    stop_all socks
    for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
fi

ELAPSED=$((SECONDS - START_SECONDS))
log "measurements done in ${ELAPSED}s"

# ---------------------------------------------------------------- report
META="$TMP/meta.txt"
{
    echo "command=$COMMAND_LINE"
    echo "date=$(date -u '+%Y-%m-%d %H:%M:%S UTC')"
    echo "nproc=$(nproc)"
    echo "cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
    echo "kernel=$(uname -sr)"
    echo "loadavg_start=$LOAD_AT_START"
    echo "loadavg_end=$(cut -d' ' -f1-3 /proc/loadavg)"
    echo "commit=$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo none)"
    echo "socat=$(socat -V 2>/dev/null | awk '/socat version/ { print $3; exit }')"
    echo "haproxy=$(haproxy -v 2>/dev/null | awk 'NR == 1 { print $3 }')"
    echo "iperf3=$(iperf3 -v 2>/dev/null | awk 'NR == 1 { print $2 }')"
    echo "priority=$PRIORITY"
    echo "repeats=$REPEATS"
    echo "quick=$QUICK"
    echo "peers_only=$PEERS_ONLY"
    echo "iperf_seconds=$IPERF_SECONDS"
    echo "lat_count=$LAT_COUNT"
    echo "busy_count=$BUSY_COUNT"
    echo "warmup=$WARMUP"
    echo "conn_seconds=$CONN_SECONDS"
    echo "syscall_round_trips=$SYSCALL_ROUND_TRIPS"
    echo "cpu_seconds=$CPU_SECONDS"
    echo "cpu_idle_clients=$CPU_IDLE_CLIENTS"
    echo "tls=$TLS"
    echo "stream_seconds=$STREAM_SECONDS"
    echo "tls_idle_clients=$TLS_IDLE_CLIENTS"
    echo "proxy=$PROXY"
    echo "floor=${FLOOR_RELAY:+1}"
    echo "floor_note=$FLOOR_NOTE"
    echo "floor_source=$FLOOR_RELAY_SOURCE"
    if [[ -n $FLOOR_RELAY ]]; then
        echo "floor_sha256=$(sha256sum "$FLOOR_RELAY_SOURCE" | cut -c1-12)"
    fi
    echo "microsocks=$(dpkg-query -W -f='${Version}' microsocks 2>/dev/null)"
    echo "openssl=$(openssl version 2>/dev/null | awk '{ print $2 }')"
    echo "pin_cpu=$PIN_CPU"
    echo "elapsed_seconds=$ELAPSED"
} >"$META"
cp "$SAMPLES" "$BENCH/results-samples.tsv"
"$PY" "$BENCH/report.py" --samples "$SAMPLES" --meta "$META" \
    --markdown "$BENCH/results.md" --plot "$BENCH/results.png"
log "wrote bench/results.md, bench/results.png and bench/results-samples.tsv"
