# What both ARM toolchains share: clang for Debian's KOVEX_TRIPLE, against
# the sysroot that Debian's sysroot-only cross packages put in /usr/TRIPLE
# (libc6-dev-ARCH-cross and friends), with the target's own binutils, and
# the programs run under qemu-user. Debian's gcc cross compilers would do
# as well, but installing them removes gcc-multilib, which the 32-bit test
# kit needs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${KOVEX_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${KOVEX_TRIPLE})
set(CMAKE_LIBRARY_ARCHITECTURE ${KOVEX_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${KOVEX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Else llvm-strip or the host's strip may be picked.
set(CMAKE_STRIP /usr/bin/${KOVEX_TRIPLE}-strip)
set(CMAKE_OBJDUMP /usr/bin/${KOVEX_TRIPLE}-objdump)
# Debian's gcc links with --as-needed and clang does not: without it
# libstdc++ and libm, which kovex does not use, would be needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT -Wl,--as-needed)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -Wl,--as-needed)

set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVEX_QEMU} -L /usr/${KOVEX_TRIPLE})
