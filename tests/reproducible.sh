#!/bin/sh
# Builds the release files twice more, in folders of different names and
# lengths and at different times, and checks that each comes out with the
# same bytes: the Debian package, and kovex.exe (the main build's too) and
# its ZIP where this machine builds for Windows.
#   reproducible.sh SOURCE_DIR SCRATCH_DIR MAIN_EXE   (MAIN_EXE empty: no Windows build)
set -eu
source_dir=$1
scratch=$2
main_exe=$3
rm -rf "$scratch"
SOURCE_DATE_EPOCH=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 0)
export SOURCE_DATE_EPOCH
first="$scratch/a"
second="$scratch/a-much-longer-folder-name/b"
for build in "$first" "$second"; do
    cmake -S "$source_dir" --preset native -B "$build/native" -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build/native" >/dev/null
    (cd "$build/native" && cpack -B package >/dev/null 2>&1)
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
same "$first"/native/package/kovex_*.deb "$second"/native/package/kovex_*.deb
if [ -n "$main_exe" ]; then
    same "$first/windows/kovex.exe" "$second/windows/kovex.exe"
    same "$first/windows/kovex.exe" "$main_exe"
    same "$first"/windows/kovex-*-win32.zip "$second"/windows/kovex-*-win32.zip
else
    echo "no Windows build on this machine: kovex.exe and its ZIP are not checked"
fi
exit $status
