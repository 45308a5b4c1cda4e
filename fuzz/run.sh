#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from a small seed corpus written by this script.
#
#   fuzz/run.sh [SECONDS]   run each target for SECONDS (default 60)
#
# Environment:
#   PELK_FUZZ_BUILD=DIR  build directory (default build-fuzz in the repository)
#   PELK_JOBS=N          parallel build jobs (default 2)
#
# The corpus grows in DIR/fuzz-work/TARGET/corpus between runs; a finding
# (crash-*, leak-*, timeout-*, oom-*) is written next to it, and the script
# then exits with status 1.

set -euo pipefail

readonly TARGETS=(fuzz_porttext fuzz_relay fuzz_proxy fuzz_stages)

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'fuzz/run.sh: %s\n' "$*" >&2; exit 2; }

[[ $# -le 1 ]] || die "usage: fuzz/run.sh [SECONDS]"
seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || die "SECONDS must be a positive whole number"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PELK_FUZZ_BUILD:-$repo/build-fuzz}
jobs=${PELK_JOBS:-2}

command -v clang++ >/dev/null || die "clang++ not found (Debian: apt-get install clang libclang-rt-14-dev)"
# clang and libFuzzer's runtime come in separate packages on Debian.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null \
    || die "clang++ cannot link libFuzzer (Debian: apt-get install libclang-rt-14-dev)"

generator=()
[[ -f $build/CMakeCache.txt ]] || generator=(-G Ninja)
log "configuring $build"
cmake -S "$repo" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELK_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
log "building ${TARGETS[*]}"
cmake --build "$build" --parallel "$jobs" --target "${TARGETS[@]}"

# seed DIR NAME BYTES: one seed file; BYTES in printf's \x notation.
seed() {
    printf "$3" >"$1/$2"
}

seeds_fuzz_porttext() {
    local dir=$1
    # First byte: bits 0-1 choose the lowest port (0, 1, 1024, 65535),
    # bit 2 reads the rest as UTF-16 instead of UTF-8, bit 3 runs the
    # upstream parser, where "+N" asks for TLS.
    seed "$dir" zero '\x00''0'
    seed "$dir" blanks '\x01'' \t6667\r\n'
    seed "$dir" highest '\x01''65535'
    seed "$dir" above '\x01''65536'
    seed "$dir" leading-zeros '\x01''0000000000006667'
    seed "$dir" sign '\x01''+6667'
    seed "$dir" fraction '\x01''66.67'
    seed "$dir" below-lowest '\x02''1023'
    seed "$dir" empty '\x01'
    seed "$dir" non-ascii-digit '\x01''\xd9\xa6\xd9\xa6'
    seed "$dir" no-break-space '\x01''\xc2\xa06667\xc2\xa0'
    seed "$dir" utf16 '\x05''6\x006\x006\x007\x00'
    seed "$dir" utf16-surrogate '\x05''\x00\xd86\x00'
    seed "$dir" tls '\x08'' +6697 '
    seed "$dir" tls-two-plus '\x08''++6697'
    seed "$dir" tls-plus-alone '\x08''+'
    seed "$dir" tls-blank-after-plus '\x08''+ 6697'
    seed "$dir" tls-zero '\x08''+0'
    seed "$dir" tls-above '\x08''+70000'
}

seeds_fuzz_relay() {
    local dir=$1
    # Steps of three bytes: operation, a, b (see fuzz_relay.cpp). 0 connect,
    # 1 client sends, 2 client FIN, 3 client reset, 4 client close, 5 client
    # reading on/off, 6 upstream sends, 7 upstream FIN, 8 upstream reset,
    # 9 upstream reading on/off, 10 closeSlot, 11 Stop and Start,
    # 12 upstream setting, 13-14 run the loop.
    seed "$dir" exchange '\x00\x00\x00\x0e\x00\x0a\x01\x00\x32\x0e\x00\x0a\x06\x00\x32\x0e\x00\x0a\x02\x00\x00\x07\x00\x00\x0e\x00\x14'
    seed "$dir" resets '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x0e\x00\x0a\x01\x00\x40\x01\x01\x40\x06\x00\x40\x03\x00\x00\x08\x01\x00\x0e\x00\x14'
    seed "$dir" stalled-upstream '\x00\x00\x00\x0e\x00\x0a\x09\x00\x00\x01\x80\xff\x01\x80\xff\x0e\x00\x1e\x09\x00\x00\x0e\x00\x1e'
    seed "$dir" stalled-client '\x00\x00\x00\x0e\x00\x0a\x05\x00\x00\x06\x80\xff\x06\x80\xff\x0e\x00\x1e\x05\x00\x00\x0e\x00\x1e'
    seed "$dir" stop-start '\x00\x00\x00\x00\x00\x00\x01\x00\x20\x01\x01\x20\x0b\x00\x00\x00\x00\x00\x01\x02\x10\x0e\x00\x0a'
    seed "$dir" bad-upstream '\x0c\x00\x01\x00\x00\x00\x0e\x00\x0a\x0c\x00\x02\x00\x00\x00\x0c\x00\x03\x00\x00\x00\x0c\x00\x00\x00\x00\x00\x01\x03\x10\x0e\x00\x0a'
    seed "$dir" close-slot '\x00\x00\x00\x0e\x00\x0a\x01\x00\x20\x06\x00\x20\x0a\x00\x01\x0e\x00\x0a\x00\x00\x00\x0e\x00\x0a'
}

seeds_fuzz_proxy() {
    local dir=$1
    # First byte: bit 0 HTTP (else SOCKS5), bit 1 with a login, bit 2 the
    # server as an IPv6 address, bits 3-7 the read size less one. The rest is
    # what the proxy sends; the same bytes are also read as a proxy URL.
    seed "$dir" socks-ok '\x00''\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x0b'':irc NOTICE\r\n'
    seed "$dir" socks-login-name '\x02''\x05\x02\x01\x00\x05\x00\x00\x03\x04name\x00\x50'
    seed "$dir" socks-refused '\xf8''\x05\x00\x05\x04'
    seed "$dir" socks-no-method '\x00''\x05\xff'
    seed "$dir" http-ok '\x01''HTTP/1.1 200 Connection established\r\nVia: x\r\n\r\n:irc NOTICE\r\n'
    seed "$dir" http-407 '\x03''HTTP/1.0 407 Proxy Authentication Required\n\n'
    seed "$dir" http-split '\x01''HTTP/1.1 200 OK\r\n\r'
    seed "$dir" url-socks 'socks5://user:pass@[::1]:9050'
    seed "$dir" url-http 'http://u%3Aa:p@proxy.example:3128/'
}

seeds_fuzz_stages() {
    local dir=$1
    # First byte: bits 0-1 the stack (0 SOCKS5, 1 HTTP, 2 TLS, 3 TLS through
    # SOCKS5), bits 2-7 the read size less one; second byte the write size
    # (0: all). The rest is what the peer sends.
    seed "$dir" socks-then-data '\x00\x00''\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x0b'':irc NOTICE\r\n'
    seed "$dir" socks-short-writes '\x0c\x01''\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x0b'':irc'
    seed "$dir" http-then-data '\x05\x00''HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n:irc NOTICE\r\n'
    seed "$dir" tls-garbage '\x02\x00''\x16\x03\x03\x00\x05hello'
    seed "$dir" tls-alert '\x02\x00''\x15\x03\x03\x00\x02\x02\x28'
    seed "$dir" socks-then-tls '\x03\x00''\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x0b''\x16\x03\x03\x00\x01\x00'
}

status=0
for target in "${TARGETS[@]}"; do
    work=$build/fuzz-work/$target
    mkdir -p "$work/corpus" "$work/seeds"
    "seeds_$target" "$work/seeds"
    options=(-max_len=4096)
    # 64 steps of three bytes, and long sequences from the start.
    [[ $target == fuzz_relay ]] && options=(-max_len=192 -len_control=0)
    log "running $target for ${seconds}s"
    if ! (cd "$work" && "$build/fuzz/$target" -max_total_time="$seconds" -timeout=30 \
              "${options[@]}" -print_final_stats=1 -artifact_prefix="$work/" \
              corpus seeds 2>"$work/log.txt"); then
        log "$target FAILED; see $work/log.txt and the file named there"
        tail -n 40 "$work/log.txt" >&2
        status=1
        continue
    fi
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log.txt" >&2 || true
done
exit "$status"
