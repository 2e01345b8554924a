# Cross build of the 32-bit Windows DLLs with Debian's MinGW-w64 (package
# g++-mingw-w64-i686); the test programs run under wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SARN_MINGW_TRIPLE i686-w64-mingw32)
set(SARN_WINE_NAMES wine)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
