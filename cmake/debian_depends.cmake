# Run by cpack for a cross-built package: its Depends, read from the program.
# dpkg-shlibdeps would take them from the cross packages' shlibs files and
# name packages that no ARM system has (libc6:arm64, libgcc-s1-armhf-cross)
# at the sysroot's full version. Debian's symbols files for libc6 and
# libgcc-s1 give each symbol version its own release as the lowest one
# needed, so the highest symbol version the program asks of a library is
# the lowest version of the package that will do.
execute_process(COMMAND ${CPACK_KOVEX_OBJDUMP} -p ${CPACK_KOVEX_PROGRAM}
    OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${headers}")
set(depends "")
foreach(entry IN LISTS needed)
    string(REGEX REPLACE "NEEDED +" "" library "${entry}")
    if(library STREQUAL "libc.so.6")
        set(package libc6)
        set(prefix GLIBC_)
    elseif(library STREQUAL "libgcc_s.so.1")
        set(package libgcc-s1)
        set(prefix GCC_)
    else()
        message(FATAL_ERROR "no Debian package is known for ${library}")
    endif()
    string(REGEX MATCHALL "[ \t]${prefix}[0-9.]+" versions "${headers}")
    set(lowest 0)
    foreach(version IN LISTS versions)
        string(REGEX REPLACE "[ \t]${prefix}" "" version "${version}")
        if(version VERSION_GREATER lowest)
            set(lowest ${version})
        endif()
    endforeach()
    list(APPEND depends "${package} (>= ${lowest})")
endforeach()
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS ${depends})
