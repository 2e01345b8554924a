# What both MinGW-w64 toolchain files share; they set SARN_MINGW_TRIPLE and
# SARN_WINE_NAMES first. The posix thread model is used: with it GCC 12's
# libstdc++ has std::mutex and std::thread, which GoogleTest needs; its
# winpthread library is linked statically like the rest of the runtime.
set(CMAKE_SYSTEM_NAME Windows)

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

# Test programs run under Wine when there is one.
find_program(SARN_WINE NAMES ${SARN_WINE_NAMES} PATHS /usr/lib/wine)
if(SARN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SARN_WINE})
endif()
