# Cross build of the 64-bit Windows DLLs with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64); the test programs run under 64-bit Wine, whose
# loader Debian's wine64 package keeps out of PATH, in /usr/lib/wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SARN_MINGW_TRIPLE x86_64-w64-mingw32)
set(SARN_WINE_NAMES wine64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
