# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread model, so
# that std::thread and std::mutex are there). Tests run under Wine when it is installed:
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVALANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVALANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVALANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVALANE_MINGW_PREFIX}-windres)

# Headers, libraries and packages come from the MinGW sysroot only; programs (the
# build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVALANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package installs its loader outside PATH unless the wine package is
# there too.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KORVALANE_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
  if(KORVALANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVALANE_WINE})
  endif()
endif()
