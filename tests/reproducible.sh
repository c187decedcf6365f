#!/bin/sh
# Builds the release files twice more, in folders of different names and
# lengths and at different times, and checks that each comes out with the
# same bytes: the Debian package of each preset named, and kovex.exe (the
# main build's too) and its ZIP where this machine builds for Windows.
#   reproducible.sh SOURCE_DIR SCRATCH_DIR MAIN_EXE PRESET...   (MAIN_EXE empty: no Windows build)
set -eu
source_dir=$1
scratch=$2
main_exe=$3
shift 3
rm -rf "$scratch"
SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
first="$scratch/a"
second="$scratch/a-much-longer-folder-name/b"
for build in "$first" "$second"; do
    for preset in "$@"; do
        cmake -S "$source_dir" --preset "$preset" -B "$build/$preset" -DBUILD_TESTING=OFF >/dev/null
        cmake --build "$build/$preset" >/dev/null
        (cd "$build/$preset" && cpack -B package >/dev/null 2>&1)
    done
    if [ -n "$main_exe" ]; then
        cmake -S "$source_dir" --preset windows -B "$build/windows" >/dev/null
        cmake --build "$build/windows" --target package >/dev/null
    fi
    sleep 1  # a time stamp taken from the clock would now differ
done

status=0
same() {
    if cmp "$1" "$2"; then echo "same bytes: $2"; else status=1; fi
}
for preset in "$@"; do
    same "$first/$preset"/package/kovex_*.deb "$second/$preset"/package/kovex_*.deb
done
if [ -n "$main_exe" ]; then
    same "$first/windows/kovex.exe" "$second/windows/kovex.exe"
    same "$first/windows/kovex.exe" "$main_exe"
    same "$first"/windows/kovex-*-win32.zip "$second"/windows/kovex-*-win32.zip
else
    echo "no Windows build on this machine: kovex.exe and its ZIP are not checked"
fi
exit $status
