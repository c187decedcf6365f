#!/bin/sh
# Static checks on the product's sources: clang-tidy (settings in .clang-tidy)
# over both platforms' files, and cppcheck. Exits non-zero on any finding.
#   lint.sh SOURCE_DIR NATIVE_BUILD_DIR WINDOWS_BUILD_DIR (empty: none here)
set -eu
src=$1/src
native=$2
windows=$3
status=0

clang-tidy --quiet -p "$native" \
    "$src/run.cpp" "$src/run_settings.cpp" "$src/option_scanner.cpp" \
    "$src/serial_port.cpp" "$src/serial_port_posix.cpp" "$src/port_lock_posix.cpp" \
    "$src/port_holders_proc.cpp" "$src/rfc2217.cpp" "$src/socket_posix.cpp" \
    "$src/port_search.cpp" "$src/port_list_sysfs.cpp" "$src/pattern.cpp" "$src/telnet.cpp" \
    "$src/mdns.cpp" \
    "$src/version_identity.cpp" "$src/version_identity_posix.cpp" || status=1

if [ -z "$windows" ]; then
    echo "lint: no Windows build on this machine: the Windows files are checked by cppcheck only"
else
    # clang reads the cross build's commands but not where g++ keeps its C++
    # headers; hand it g++'s own search list.
    extra=$(echo | i686-w64-mingw32-g++ -x c++ -E -v - 2>&1 |
        sed -n '/search starts here:/,/End of search list/p' | grep '^ ' |
        sed 's/^ */--extra-arg=-isystem/')
    # shellcheck disable=SC2086
    clang-tidy --quiet -p "$windows" $extra \
        "$src/serial_port_win32.cpp" "$src/version_identity_win32.cpp" \
        "$src/wildcard_win32.cpp" "$src/socket_win32.cpp" "$src/port_list_setupapi.cpp" ||
        status=1
fi

for platform in posix win32; do
    if [ $platform = win32 ]; then
        defines="-D_WIN32" only="$src/port_list_setupapi.cpp"
    else
        defines="-U_WIN32" only="$src/port_lock_posix.cpp $src/port_holders_proc.cpp $src/port_list_sysfs.cpp"
    fi
    # shellcheck disable=SC2086
    cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++17 --language=c++ \
        --enable=warning,style,performance,portability --suppress=missingIncludeSystem \
        $defines -I "$src" -I "$native/generated" \
        "$src"/run.cpp "$src"/run_settings.cpp "$src"/option_scanner.cpp \
        "$src"/serial_port.cpp "$src"/version_identity.cpp "$src"/rfc2217.cpp "$src"/port_search.cpp \
        "$src"/serial_port_$platform.cpp "$src"/version_identity_$platform.cpp \
        "$src"/socket_$platform.cpp $only || status=1
done
[ $status = 0 ] && echo "lint: clean"
exit $status
