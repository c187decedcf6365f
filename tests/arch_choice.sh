#!/bin/sh
# dev.sh's choice for a machine that is not x86-64 (arm64 stands for them):
# no package that only x86 has, and no Windows build. The same check on
# amd64 must find them, or the patterns prove nothing.
#   arch_choice.sh SOURCE_DIR
set -eu
x86_only='mingw|multilib|wine|:i386|windows|-cross|qemu|armhf'
arm64=$(KOVEX_ARCH=arm64 "$1/dev.sh" plan check)
amd64=$(KOVEX_ARCH=amd64 "$1/dev.sh" plan check)
echo "$arm64"
if echo "$arm64" | grep -Eq "$x86_only" || ! echo "$amd64" | grep -Eq "$x86_only"; then
    echo "FAIL: the arm64 plan names x86-only packages or builds"
    exit 1
fi
