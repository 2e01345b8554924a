# Cross build of the 64-bit Windows DLLs with Debian's MinGW-w64 (package
# g++-mingw-w64-x86-64). As in toolchain-mingw32.cmake, the posix thread
# model is used (GoogleTest needs std::mutex and std::thread) and the whole
# runtime, winpthread included, is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SARN_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${SARN_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SARN_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${SARN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SARN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each binary, so a DLL needs
# nothing but system DLLs and, for the driver, korven.dll.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Test programs run under 64-bit Wine when there is one. Debian's wine64
# package keeps its loader out of PATH, in /usr/lib/wine.
find_program(SARN_WINE NAMES wine64 PATHS /usr/lib/wine)
if(SARN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SARN_WINE})
endif()
