#!/usr/bin/env bash
# Sets up a Debian machine for Pelk IRC-Bouncer, builds it, and then runs the
# program or its tests.
#
#   scripts/setup.sh run       install what is missing, build ./build, open the window
#   scripts/setup.sh test      same install and build, then run every test in ./build
#   scripts/setup.sh sanitize  same install, build ./build-asan with ASan+UBSan, run every test
#   scripts/setup.sh package   same install, build dist/pelk-bouncer_<version>_<arch>.deb, lint it
#
# Safe to run again: packages are installed only when missing, builds are
# incremental. Works as root or through sudo, never asks anything.
#
# Environment:
#   CI=true             refresh the package lists even when nothing is missing
#   PELK_JOBS=N         parallel build jobs (default 2)
#   PELK_TEST_TIMEOUT=S per-test limit in seconds for tests that set none (default 300)
#   PELK_APT_UPDATED=1  the package lists were refreshed already in this run

set -euo pipefail

readonly PACKAGES=(
    build-essential cmake ninja-build
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libssl-dev openssl       # TLS to the upstream; the tool makes the tests' certificates
    libxkbcommon-dev         # found by Qt6Gui's CMake package; without it configure warns
    fonts-dejavu-core        # a font for the window, also when rendered off-screen
    ngircd                   # the real IRC server of the end-to-end tests
    microsocks tinyproxy     # real SOCKS5 and HTTP CONNECT proxies for the proxy tests
    iproute2 nftables        # dead network paths in the tests' own network namespaces
    dbus-daemon              # a private bus on which the tests play logind
    xvfb xauth               # a display for screenshots on a machine without one
    clang libclang-rt-14-dev # fuzzing and clang's sanitizers
    librsvg2-bin             # draws the icon's PNGs from its SVG at build time
    desktop-file-utils appstream # the install test validates the menu entry and metadata
)
# Only for `package`: CPack finds the runtime libraries with dpkg-shlibdeps
# (which reads the binary with file), and lintian checks the result.
readonly PACKAGE_MODE_PACKAGES=(dpkg-dev file lintian)

usage() {
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

log() { printf '==> %s\n' "$*" >&2; }
die() { printf 'setup.sh: %s\n' "$*" >&2; exit 1; }

[[ $# -eq 1 ]] || usage
mode=$1
case "$mode" in
    run|test|sanitize) wanted=("${PACKAGES[@]}") ;;
    package) wanted=("${PACKAGES[@]}" "${PACKAGE_MODE_PACKAGES[@]}") ;;
    *) usage ;;
esac

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

export DEBIAN_FRONTEND=noninteractive
jobs=${PELK_JOBS:-2}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo --non-interactive env DEBIAN_FRONTEND=noninteractive "$@"
    else
        printf 'setup.sh: need root or sudo to run: %s\n' "$*" >&2
        return 1
    fi
}

missing_packages() {
    local package status
    for package in "${wanted[@]}"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [[ $status == installed ]] || printf '%s\n' "$package"
    done
}

# Installing ngircd may start its system service on port 6667, the program's
# default listen port, and tinyproxy its own on port 8888. The tests run
# their own servers; stop the services.
stop_service() {
    local name=$1
    if command -v systemctl >/dev/null 2>&1 && [[ -d /run/systemd/system ]]; then
        as_root systemctl disable --now "$name.service" >/dev/null 2>&1 || true
    fi
    if [[ -x /etc/init.d/$name ]]; then
        as_root service "$name" stop >/dev/null 2>&1 || true
    fi
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_packages)
    if [[ ${CI:-} == true && -z ${PELK_APT_UPDATED:-} ]] || (( ${#missing[@]} > 0 )); then
        log "apt-get update"
        if ! as_root apt-get update -q; then
            # With everything installed a stale list does no harm.
            (( ${#missing[@]} == 0 )) || die "apt-get update failed"
            log "apt-get update failed; every package is installed, going on"
        fi
    fi
    if (( ${#missing[@]} > 0 )); then
        log "installing: ${missing[*]}"
        as_root apt-get install -y -q "${missing[@]}"
        local service
        for service in ngircd tinyproxy; do
            if printf '%s\n' "${missing[@]}" | grep -qx "$service"; then
                stop_service "$service"
            fi
        done
    else
        log "all packages installed"
    fi
}

# configure BUILD_DIR [cmake options...]
configure() {
    local dir=$1
    shift
    local generator=()
    # An existing build directory keeps the generator it was made with.
    [[ -f $dir/CMakeCache.txt ]] || generator=(-G Ninja)
    log "configuring $dir"
    cmake -S . -B "$dir" "${generator[@]}" "$@"
}

build() {
    local dir=$1
    log "building $dir"
    cmake --build "$dir" --parallel "$jobs"
}

run_tests() {
    local dir=$1
    shift
    log "testing $dir"
    local status=0
    env QT_QPA_PLATFORM=offscreen "$@" \
        ctest --test-dir "$dir" --output-on-failure --no-tests=error \
              --timeout "${PELK_TEST_TIMEOUT:-300}" || status=$?
    return "$status"
}

install_packages

case "$mode" in
    run)
        configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
        build build
        program=build/window/pelk-bouncer
        [[ -x $program ]] || die "$program was not built"
        if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
            printf 'There is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set).\n' >&2
            printf 'To run the window on a virtual X server:\n  xvfb-run -a ./%s\n' "$program" >&2
            exit 3
        fi
        exec "./$program"
        ;;
    test)
        configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
        build build
        status=0
        run_tests build || status=$?
        exit "$status"
        ;;
    sanitize)
        # -O1 keeps the instrumented tests fast enough; asserts stay on.
        configure build-asan -DPELK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
            "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1"
        build build-asan
        status=0
        run_tests build-asan \
            ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            LSAN_OPTIONS="suppressions=$repo/tests/lsan.supp:print_suppressions=0" \
            || status=$?
        exit "$status"
        ;;
    package)
        # Built as Debian builds its packages: its hardening flags and no
        # build-type flags of CMake's own; cpack strips the binary.
        export DEB_BUILD_MAINT_OPTIONS=hardening=+all
        configure build-package -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
            "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
            "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
        build build-package
        log "packaging"
        rm -f build-package/*.deb
        (cd build-package && cpack -G DEB)
        debs=(build-package/*.deb)
        [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || die "cpack made no single .deb"
        mkdir -p dist
        deb=dist/${debs[0]##*/}
        cp "${debs[0]}" "$deb"
        log "lintian $deb"
        lintian --fail-on error --info "$deb"
        printf '%s (%s bytes)\n' "$deb" "$(stat -c %s "$deb")"
        ;;
esac
