# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads
# flavour, package g++-mingw-w64-x86-64-posix). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QELT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QELT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QELT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QELT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QELT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A plain Windows has no MinGW runtime: every program and DLL carries libgcc,
# libstdc++ and winpthread inside itself and imports only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest (and gtest_discover_tests) start the Windows programs through Wine.
find_program(QELT_WINE64 NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QELT_WINE64)
  find_program(QELT_WINE64 NAMES wine64 wine)
endif()
if(QELT_WINE64)
  # Wine's own diagnostics would mix with the programs' output.
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${QELT_WINE64})
endif()
