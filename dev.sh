#!/bin/sh
# Developer entry point.
#   ./dev.sh build   build kovex for this machine, with CMake and a C++
#                    compiler alone (installed when missing)
#   ./dev.sh build all  build it with its tests and, on x86-64, kovex.exe
#                    (32-bit Windows, released), its 64-bit twin (tested
#                    only), and kovex for arm64 and armhf
#   ./dev.sh check   install what is missing, build them, run every test
#                    (the ARM builds' under qemu-user), then again under
#                    sanitizers with the fuzz targets
#   ./dev.sh demo    watch a pulse on a pseudo-terminal, no adapter needed
#   ./dev.sh bench   measure start-up and hold accuracy against pyserial
#   ./dev.sh package build the release files into dist/: the Debian package
#                    and, on x86-64, the arm64 and armhf packages and the
#                    Windows ZIP
#   ./dev.sh plan COMMAND   print what COMMAND would install and build
set -eu
cd "$(dirname "$0")"

# The Debian architecture decides what can be built here. KOVEX_ARCH stands
# in for it only in the test that checks the choice for other machines.
arch=${KOVEX_ARCH:-$(dpkg --print-architecture)}

# The native configure also builds the test programs, hence GoogleTest and
# Python; Wine is only needed to test.
# make: CMake's Makefile generator runs it, and neither CMake nor g++ brings it.
BUILD_PACKAGES="cmake g++ make libgtest-dev python3"
# ser2net's libraries: the program itself comes out of its package (below).
TEST_PACKAGES="clang libclang-rt-14-dev clang-tidy cppcheck groff-base dpkg-dev lintian man-db"
TEST_PACKAGES="$TEST_PACKAGES libgensio4 libyaml-0-2"
# sredird, the other server the remote rows run against: its package holds
# the program alone, which the table starts per connection as inetd would.
TEST_PACKAGES="$TEST_PACKAGES sredird"
# pyserial and python3-zeroconf, which the benchmark measures kovex
# against; check runs it briefly.
TEST_PACKAGES="$TEST_PACKAGES python3-serial python3-zeroconf"
# The mdns:// rows' server hosts: network namespaces joined by veth pairs
# (iproute2), each with its own D-Bus, and avahi-daemon's libraries: the
# program itself comes out of its package (below).
TEST_PACKAGES="$TEST_PACKAGES iproute2 dbus-daemon libavahi-core7 libdaemon0"
PACKAGE_PACKAGES="dpkg-dev"
if [ "$arch" = amd64 ]; then
    # mingw-w64 for both word sizes, gcc-multilib for the kit's 32-bit half,
    # and Wine for both: the i386 loader runs only where the kernel runs
    # 32-bit programs, the tests probe for that.
    BUILD_PACKAGES="$BUILD_PACKAGES g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 gcc-multilib"
    TEST_PACKAGES="$TEST_PACKAGES wine wine32:i386 wine64"
    # ARM: clang with Debian's sysroot-only cross packages, run under
    # qemu-user. Never gcc-<triple> or g++-<triple>: they remove gcc-multilib.
    for a in arm64:aarch64-linux-gnu armhf:arm-linux-gnueabihf; do
        BUILD_PACKAGES="$BUILD_PACKAGES libc6-dev-${a%%:*}-cross libstdc++-12-dev-${a%%:*}-cross"
        BUILD_PACKAGES="$BUILD_PACKAGES libgcc-12-dev-${a%%:*}-cross binutils-${a#*:}"
    done
    BUILD_PACKAGES="$BUILD_PACKAGES clang qemu-user"
    PRESETS="native windows windows64 arm64 armhf"
    DEB_PRESETS="native arm64 armhf"
else
    PRESETS="native"
    DEB_PRESETS="native"
fi

# The packages each command needs; `plan` shows the same lists. The
# first build needs CMake and a compiler alone; the demo adds Python, which
# it is written in.
QUICK_PACKAGES="cmake g++ make"
packages_for() {
    case "$1" in
    build) echo "$QUICK_PACKAGES" ;;
    demo) echo "$QUICK_PACKAGES python3 iproute2" ;;
    check) echo "$BUILD_PACKAGES $TEST_PACKAGES" ;;
    bench) echo "$BUILD_PACKAGES $TEST_PACKAGES" ;;
    package) echo "$BUILD_PACKAGES $PACKAGE_PACKAGES" ;;
    *) echo "$BUILD_PACKAGES" ;;
    esac
}

# Installs the Debian packages named that are not installed yet.
install_missing() {
    missing=""
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
            missing="$missing $package"
    done
    [ -z "$missing" ] && return 0
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    echo "Installing:$missing"
    case "$missing" in
    *:i386*) dpkg --print-foreign-architectures | grep -qx i386 ||
        $sudo dpkg --add-architecture i386 ;;
    esac
    # A mirror being synced fails an index now and then: try again, and
    # go on with the lists there are, since the install says what is missing.
    for try in 1 2 3; do
        $sudo apt-get update -q && break
        [ $try = 3 ] || sleep 10
    done
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing &&
        return 0
    # The i386 half of Wine needs every shared library at the very version
    # the machine's amd64 one has, which a lagging mirror may not offer yet:
    # the rest is installed, and the 32-bit Wine table says it skips.
    native=$(echo "$missing" | tr ' ' '\n' | grep -v ':i386$' | tr '\n' ' ')
    [ "$native" != "$(echo "$missing" | tr ' ' '\n' | tr '\n' ' ')" ] || return 1
    skipped "the i386 packages could not be installed:$(echo "$missing" | tr ' ' '\n' | grep ':i386$' | tr '\n' ' ')"
    [ -n "$(echo "$native" | tr -d ' ')" ] || return 0
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $native
}

# The remote rows' server. Debian's ser2net package would start a service
# whose default configuration serves /dev/ttyS0, the console on the machines
# we test on, to every local user; avahi-daemon's would start a system
# service that talks on the machine's network. Only the programs are taken
# out of the packages, into the build tree, and nothing of them is installed.
SER2NET=build/ser2net/usr/sbin/ser2net
AVAHI=build/avahi/usr/sbin/avahi-daemon
#   fetch_program PACKAGE FOLDER PROGRAM WHAT-SKIPS-WITHOUT-IT
fetch_program() {
    [ -x "$3" ] && return 0
    download=$(mktemp -d)
    if ! (cd "$download" && apt-get download -q "$1" >/dev/null 2>&1); then
        sudo=""
        [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo apt-get update -q >/dev/null || true
        (cd "$download" && apt-get download -q "$1" >/dev/null 2>&1) || true
    fi
    if ls "$download/$1"_*.deb >/dev/null 2>&1; then
        mkdir -p build && dpkg-deb -x "$download/$1"_*.deb "$2"
    else
        skipped "$1 could not be downloaded: $4"
    fi
    rm -rf "$download"
}
fetch_servers() {
    fetch_program ser2net build/ser2net "$SER2NET" "no row through a network server will run"
    fetch_program avahi-daemon build/avahi "$AVAHI" "no mdns:// row will run"
}

build_all() {
    [ "$PRESETS" != native ] ||
        skipped "the Windows and ARM cross builds need an x86-64 machine: the native kovex alone is built and tested"
    for preset in $PRESETS; do
        # The native build is also the tests' (a quick build may have left
        # them out).
        if [ "$preset" = native ]; then
            cmake --preset native -DBUILD_TESTING=ON
        else
            cmake --preset "$preset"
        fi
        cmake --build --preset "$preset"
    done
}

# The native end-to-end table once more as a uid without an account, the way
# most people run it, when this run is root's (CI's is). Its files are copied
# where that uid may read them, and it runs Debian's Python, not root's.
table_as_user() {
    uid=64210
    if ! setpriv --reuid=$uid --regid=$uid --clear-groups true 2>/dev/null; then
        skipped "no other uid can be taken here: the native table ran as root only"
        return 0
    fi
    copy=$(mktemp -d)
    cp -r tests/e2e.py tests/kit/private_dev.sh build/native/kovex build/native/kit "$copy/"
    [ -x "$SER2NET" ] && cp "$SER2NET" "$copy/"
    [ -x "$AVAHI" ] && cp "$AVAHI" "$copy/"
    chmod -R a+rX "$copy"
    identity() { sed -n "s/^set(KOVEX_$1 \"\(.*\)\")\$/\1/p" CMakeLists.txt; }
    echo "The native end-to-end table as uid $uid:"
    status=0
    setpriv --reuid=$uid --regid=$uid --clear-groups env HOME="$copy" \
        "$copy/private_dev.sh" /usr/bin/python3 "$copy/e2e.py" --kit "$copy/kit" \
        --ser2net "$copy/ser2net" --sredird /usr/sbin/sredird --avahi "$copy/avahi-daemon" --identity \
        "$(identity DESCRIPTION)" "$(identity COPYRIGHT)" "$(identity COMPANY)" "$copy/kovex" \
        >"$copy/log" 2>&1 || status=$?
    tail -n 1 "$copy/log"
    {
        echo "  the native table as uid $uid: rows $(tail -n 1 "$copy/log")"
        grep '^skipped: ' "$copy/log" | sed 's/^/    /'
    } >build/as_user.summary
    if [ $status != 0 ] && [ $status != 77 ]; then
        cat "$copy/log"
        FAILED="$FAILED as-uid-$uid"
    fi
    rm -rf "$copy"
}

# Every step of check runs, whatever failed before it, and the run ends in
# one summary: what each preset's tests did, each end-to-end table's rows,
# and every skip with its reason. The skips of dev.sh's own steps are kept
# here as they are said.
SKIPS=build/skipped
skipped() {
    echo "skipped: $*"
    mkdir -p build && echo "$*" >>"$SKIPS"
}
FAILED=""
run_tests() {
    ctest --preset "$1" --output-log "build/$1/ctest.log" || FAILED="$FAILED $1"
}
# The summary line of each test of a preset, read from ctest's own logs; an
# end-to-end table's line counts its rows, and a skipping test says why.
preset_summary() {
    if [ ! -f "build/$1/ctest.log" ]; then
        echo "  $1: did not run"
        return
    fi
    awk -v preset="$1" '
        FILENAME ~ /ctest.log$/ && / Test +#[0-9]+: / {
            tests++
            if ($0 ~ /\*\*\*Skipped/) skips++
            else if ($0 ~ / Passed /) passes++
            else failures = failures " " $4
        }
        FILENAME ~ /LastTest.log$/ && /^[0-9]+\/[0-9]+ Testing: / { name = $3 }
        FILENAME ~ /LastTest.log$/ && /^[0-9]+ passed, [0-9]+ failed/ { rows = rows "; " name ": rows " $0 }
        FILENAME ~ /LastTest.log$/ && /^skipped: / { sub(/^skipped: /, ""); reasons = reasons "\n    skipped: " $0 }
        END {
            printf "  %s: %d tests, %d passed, %d skipped, %d failed%s%s%s\n", preset, tests,
                passes, skips, tests - passes - skips, failures ? " (" substr(failures, 2) ")" : "",
                rows, reasons
        }' "build/$1/ctest.log" "build/$1/Testing/Temporary/LastTest.log"
}
summary() {
    echo
    echo "Summary:"
    for preset in "$@"; do
        preset_summary "$preset"
    done
    [ ! -f build/as_user.summary ] || cat build/as_user.summary
    [ ! -f "$SKIPS" ] || sed 's/^/  skipped: /' "$SKIPS"
    if [ -n "$FAILED" ]; then
        echo "FAILED:$FAILED"
        return 1
    fi
    echo "Everything that ran passed."
}

case "${1:-}" in
build)
    if [ "${2:-}" = all ]; then
        install_missing $(packages_for all)
        build_all
        built=$(echo "$PRESETS" | sed 's|[a-z0-9]*|build/&|g')
    else
        install_missing $(packages_for build)
        cmake --preset native -DBUILD_TESTING=OFF
        cmake --build --preset native
        built=build/native
    fi
    echo
    echo "Built $built. Try:"
    echo "    build/native/kovex -v -p ttyUSB0 1"
    [ "${2:-}" != all ] || [ "$PRESETS" = native ] || echo "    kovex.exe -v -p COM3 1        (on Windows)"
    ;;
check)
    rm -f "$SKIPS" build/as_user.summary build/*/ctest.log
    install_missing $(packages_for check)
    fetch_servers
    build_all
    for preset in $DEB_PRESETS; do
        run_tests "$preset"
    done
    [ "$(id -u)" != 0 ] || table_as_user
    # Again under AddressSanitizer and UndefinedBehaviorSanitizer, with the
    # fuzz targets.
    cmake --preset asan
    cmake --build --preset asan
    run_tests asan
    summary $DEB_PRESETS asan
    ;;
demo)
    # Only what the demo runs: kovex and the kit, for this machine.
    install_missing $(packages_for demo)
    cmake --preset native -DBUILD_TESTING=ON
    cmake --build --preset native --target kovex kovexlines
    shift
    python3 tools/watch_pulse.py "$@"
    ;;
bench)
    install_missing $(packages_for bench)
    fetch_servers
    build_all >/dev/null
    shift
    python3 bench/pulse_bench.py "$@"
    ;;
package)
    install_missing $(packages_for package)
    build_all >/dev/null
    # Same source, same bytes: every time stamp in the archives is the last
    # commit's.
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 0)
    export SOURCE_DATE_EPOCH
    mkdir -p dist
    for preset in $DEB_PRESETS; do
        cpack --config "build/$preset/CPackConfig.cmake" -B "build/$preset/package" >/dev/null
        cp "build/$preset"/package/kovex_*.deb dist/
    done
    if [ "$PRESETS" != native ]; then
        cmake --build build/windows --target package >/dev/null
        cp build/windows/kovex-*-win32.zip dist/
    fi
    ls -l dist
    ;;
plan)
    echo "architecture: $arch"
    echo "install: $(packages_for "${2:-build}")"
    case "${2:-build}" in
    build | demo) echo "build presets: native (./dev.sh build all: $PRESETS)" ;;
    *) echo "build presets: $PRESETS" ;;
    esac
    echo "tested and packaged for Debian: $DEB_PRESETS"
    case "${2:-build}" in
    check | bench) echo "taken out of their packages, not installed: ser2net ($SER2NET), avahi-daemon ($AVAHI)" ;;
    esac
    # Downloads measured with apt-get --print-uris against Debian 12's
    # required, important and standard packages alone.
    case "${2:-build}:$arch" in
    check:amd64)
        echo "adds the i386 architecture (for the 32-bit Wine) when it is missing"
        echo "downloads about 750 MB (480 packages) on a Debian 12 that has none of them" ;;
    build:*) echo "downloads about 90 MB on a Debian 12 without CMake, g++ and make" ;;
    esac
    [ "${2:-build}" != check ] ||
        echo "takes about 15 minutes on 2 cores once the packages are in (measured; installing them took 2.5 more on a minimal Debian 12, 755 MB from a nearby mirror)"
    ;;
*)
    echo "usage: ./dev.sh build [all] | check | demo [options] | bench [--runs N] | package | plan COMMAND" >&2
    exit 2
    ;;
esac
