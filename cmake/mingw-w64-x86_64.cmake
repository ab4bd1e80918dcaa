# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, which std::thread and std::mutex need). Programs run under Wine when
# wine64 is installed: CTest then runs the tests through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MIXLINK_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MIXLINK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIXLINK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MIXLINK_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MIXLINK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into each program, so it runs without the compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

find_program(MIXLINK_WINE NAMES wine)
if(MIXLINK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MIXLINK_WINE})
endif()

# GCC 12 reports a false -Wrestrict inside std::string's operator+ once it inlines it (GCC bug
# 105329); the Linux build, with the same compiler at -O2, does not get that far.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
