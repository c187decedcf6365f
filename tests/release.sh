#!/bin/sh
# Checks what a user installs: the POSIX install tree and its man page (it
# must render without a warning), the Debian package as Debian checks it and
# as dpkg installs and removes it, and the Windows ZIP.
#   release.sh SOURCE_DIR BUILD WINDOWS_BUILD SCRATCH_DIR [EMULATOR]
# BUILD is a native or a cross build; WINDOWS_BUILD empty: none; EMULATOR:
# the qemu-user command that runs a cross build's program.
set -eu
source_dir=$1
native=$2
windows=$3
scratch=$4
emulator=${5:-}
rm -rf "$scratch"
status=0
fail() { echo "FAIL $*"; status=1; }
usage_line='Usage: kovex \[-dqv\] \[-D\] \[-R\] \[-p port\] \[delay\]'

# Runs an installed kovex with a bad option and renders its man page.
check_installed() {
    code=0
    # shellcheck disable=SC2086
    $emulator "$1/bin/kovex" -x 2>"$scratch/usage" || code=$?
    [ $code = 1 ] || fail "$2: kovex -x exited with status $code, not 1"
    grep -qx "$usage_line" "$scratch/usage" || fail "$2: kovex does not print its usage line"
    [ -f "$1/share/doc/kovex/copyright" ] || fail "$2: no copyright file"
    LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$1/share/man/man1/kovex.1.gz" 2>&1 |
        grep -q "reset a device" || fail "$2: man -l does not render the page"
}

cmake --install "$native" --prefix "$scratch/prefix" >/dev/null
check_installed "$scratch/prefix" "install tree"

warnings=$(LC_ALL=C.UTF-8 groff -ww -z -man -Tutf8 "$source_dir/resources/kovex.1" 2>&1)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
for section in SYNOPSIS OPTIONS DELAY "PORT NAMES" "EXCLUSIVE ACCESS" "LINE CHANGES" \
    "REMOTE PORTS" "EXIT STATUS" TROUBLESHOOTING; do
    grep -q "^\.SH \"*$section" "$source_dir/resources/kovex.1" || fail "man page lacks $section"
done

# The package: lintian finds no error and no warning; its Depends name
# packages of its own architecture, each at the highest symbol version the
# program asks of that library (Debian's symbols files for libc6 and
# libgcc-s1 say so); dpkg installs it into a scratch root, where it runs, and
# removes it without leaving a file behind.
(cd "$native" && cpack -B "$scratch/package" >/dev/null 2>&1) || fail "cpack failed"
deb=$(echo "$scratch"/package/kovex_*.deb)
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian: $(lintian "$deb" 2>/dev/null)"
depends=$(dpkg-deb -f "$deb" Depends | sed 's/, */\n/g' | sort)
wanted=$(readelf -V "$native/kovex" | awk '
    { for (i = 1; i < NF; i++) { if ($i == "File:") file = $(i + 1); if ($i == "Name:") name = $(i + 1) } }
    file == "libc.so.6" && name ~ /^GLIBC_[0-9]/ { sub("GLIBC_", "", name); print "libc6", name }
    file == "libgcc_s.so.1" && name ~ /^GCC_[0-9]/ { sub("GCC_", "", name); print "libgcc-s1", name }
    { name = "" }' | sort -k1,1 -k2,2V | awk '{ top[$1] = $2 } END { for (p in top) print p " (>= " top[p] ")" }' | sort)
[ "$depends" = "$wanted" ] || fail "Depends: $(dpkg-deb -f "$deb" Depends), wanted: $wanted"
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# dpkg insists on finding ldconfig and start-stop-daemon, which a normal
# user's PATH leaves out.
PATH="$PATH:/usr/sbin:/sbin"
dpkg="dpkg --root=$root --log=/dev/null --force-not-root"
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$($dpkg --print-architecture)" ] || $dpkg --add-architecture "$arch"
# Dependencies are the machine's: the scratch root has none installed.
$dpkg --force-depends -i "$deb" >/dev/null 2>&1 || fail "dpkg -i failed"
check_installed "$root/usr" "installed package"
$dpkg -P kovex >/dev/null 2>&1 || fail "dpkg -P failed"
left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left behind after removal: $left"

if [ -z "$windows" ]; then
    echo "release: no Windows build on this machine: the ZIP is not checked"
else
    cmake --build "$windows" --target package >/dev/null
    zip="$windows/kovex-$(sed -n 's/^project(kovex VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")-win32.zip"
    listing=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
    [ "$listing" = "LICENSE README.md kovex.exe" ] || fail "ZIP holds: $listing"
    python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).read("kovex.exe") != open(sys.argv[2], "rb").read())' \
        "$zip" "$windows/kovex.exe" || fail "the ZIP's kovex.exe is not the build's"
fi

[ $status = 0 ] && echo "release: install tree, man page, Debian package and ZIP in order"
exit $status
