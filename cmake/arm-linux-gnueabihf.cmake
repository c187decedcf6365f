# Cross-builds kovex for 32-bit ARM Linux with hardware floating point
# (Debian armhf: ARMv7 and later; not the ARMv6 Raspberry Pi 1 and Zero).
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(KOVEX_TRIPLE arm-linux-gnueabihf)
set(KOVEX_QEMU qemu-arm)
set(KOVEX_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
