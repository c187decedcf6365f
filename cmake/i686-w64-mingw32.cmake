# Cross-builds the 32-bit Windows executable, the one we ship.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KOVEX_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
