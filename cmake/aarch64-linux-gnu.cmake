# Cross-builds kovex for 64-bit ARM Linux (Debian arm64: Raspberry Pi 3 and
# later with a 64-bit system, and most ARM servers and boards).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KOVEX_TRIPLE aarch64-linux-gnu)
set(KOVEX_QEMU qemu-aarch64)
set(KOVEX_DEB_ARCHITECTURE arm64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
