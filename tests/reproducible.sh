#!/bin/sh
# Builds kovex.exe twice more, in folders of different names and lengths,
# and checks that every build, the main one included, has the same bytes.
#   reproducible.sh SOURCE_DIR SCRATCH_DIR MAIN_EXE
set -eu
source_dir=$1
scratch=$2
rm -rf "$scratch"
for build in "$scratch/a" "$scratch/a-much-longer-folder-name/b"; do
    cmake -S "$source_dir" --preset windows -B "$build" >/dev/null
    cmake --build "$build" --target kovex >/dev/null
done
status=0
for exe in "$scratch/a-much-longer-folder-name/b/kovex.exe" "$3"; do
    if cmp "$scratch/a/kovex.exe" "$exe"; then
        echo "same bytes: $exe"
    else
        status=1
    fi
done
exit $status
