# Cross-builds a 64-bit twin of kovex.exe from the same sources, for testing
# under wine64 on machines whose kernel cannot run 32-bit programs. It is not
# released.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KOVEX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
