#!/bin/sh
# Checks what a user installs: the POSIX install tree, the man page (it must
# render without a warning) and the Windows ZIP.
#   release.sh SOURCE_DIR NATIVE_BUILD WINDOWS_BUILD SCRATCH_DIR
set -eu
source_dir=$1
native=$2
windows=$3
scratch=$4
rm -rf "$scratch"
status=0
fail() { echo "FAIL $*"; status=1; }

cmake --install "$native" --prefix "$scratch/prefix" >/dev/null
[ -x "$scratch/prefix/bin/kovex" ] || fail "bin/kovex not installed"
page="$scratch/prefix/share/man/man1/kovex.1"
[ -f "$page" ] || fail "share/man/man1/kovex.1 not installed"
"$scratch/prefix/bin/kovex" -x 2>"$scratch/usage" && fail "kovex -x succeeded"
grep -qx 'Usage: kovex \[-dqv\] \[-D\] \[-R\] \[-p port\] \[delay\]' "$scratch/usage" ||
    fail "installed kovex does not print its usage line"

warnings=$(LC_ALL=C.UTF-8 groff -ww -z -man -Tutf8 "$source_dir/resources/kovex.1" 2>&1)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
for section in SYNOPSIS OPTIONS DELAY "PORT NAMES" "LINE CHANGES" "EXIT STATUS"; do
    grep -q "^\.SH \"*$section" "$source_dir/resources/kovex.1" || fail "man page lacks $section"
done

if [ -z "$windows" ]; then
    echo "release: no Windows build on this machine: the ZIP is not checked"
else
    cmake --build "$windows" --target package >/dev/null
    zip="$windows/kovex-$(sed -n 's/^project(kovex VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")-win32.zip"
    listing=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
    [ "$listing" = "README.md kovex.exe" ] || fail "ZIP holds: $listing"
    python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).read("kovex.exe") != open(sys.argv[2], "rb").read())' \
        "$zip" "$windows/kovex.exe" || fail "the ZIP's kovex.exe is not the build's"
fi

[ $status = 0 ] && echo "release: install tree, man page and ZIP in order"
exit $status
