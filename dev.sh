#!/bin/sh
# Developer entry point.
#   ./dev.sh build   build kovex (native) and kovex.exe (32-bit Windows)
#   ./dev.sh check   install what is missing, build both, run every test,
#                    then again under sanitizers with the fuzz targets
#   ./dev.sh demo    watch a pulse on a pseudo-terminal, no adapter needed
#   ./dev.sh bench   measure start-up and hold accuracy against pyserial
set -eu
cd "$(dirname "$0")"

# The native configure also builds the test programs, hence GoogleTest,
# Python and the 32-bit C compiler here; Wine is only needed to test.
BUILD_PACKAGES="cmake g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 libgtest-dev python3 gcc-multilib"
TEST_PACKAGES="wine wine32:i386 clang libclang-rt-14-dev clang-tidy cppcheck groff-base"

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
    $sudo apt-get update -q
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
}

build_both() {
    cmake --preset native
    cmake --build --preset native
    cmake --preset windows
    cmake --build --preset windows
}

case "${1:-}" in
build)
    install_missing $BUILD_PACKAGES
    build_both
    echo
    echo "Built build/native/kovex and build/windows/kovex.exe. Try:"
    echo "    build/native/kovex -v -p ttyUSB0 3"
    echo "    kovex.exe -v -p COM3 3        (on Windows)"
    ;;
check)
    install_missing $BUILD_PACKAGES $TEST_PACKAGES
    build_both
    ctest --preset native
    # Again under AddressSanitizer and UndefinedBehaviorSanitizer, with the
    # fuzz targets.
    cmake --preset asan
    cmake --build --preset asan
    ctest --preset asan
    ;;
demo)
    install_missing $BUILD_PACKAGES
    build_both >/dev/null
    shift
    python3 tests/kit/watch_pulse.py "$@"
    ;;
bench)
    install_missing $BUILD_PACKAGES $TEST_PACKAGES python3-serial
    build_both >/dev/null
    shift
    python3 bench/pulse_bench.py "$@"
    ;;
*)
    echo "usage: ./dev.sh build | check | demo [options] | bench [--runs N]" >&2
    exit 2
    ;;
esac
