# Cross build of the 64-bit Windows DLL and its test programs with Debian's MinGW-w64 toolchain.
# The -posix variants are used because they give std::thread and std::mutex (winpthreads, which the
# link then takes in statically). Test programs run under Wine, so CTest and GoogleTest discovery
# work as they do for a native build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OSTRASYNC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OSTRASYNC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSTRASYNC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSTRASYNC_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${OSTRASYNC_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for PE files")

# Headers and libraries come from the MinGW sysroot only; programs (Wine, objdump) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${OSTRASYNC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package installs the 64-bit loader as /usr/lib/wine/wine64 and a /usr/bin/wine
# launcher that looks for the 32-bit loader first (and warns when it is missing). Calling the
# 64-bit loader directly avoids both; the launcher is the fallback on other layouts.
find_program(OSTRASYNC_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CACHE)
find_program(OSTRASYNC_BASH NAMES bash NO_CACHE)
if(OSTRASYNC_WINE AND OSTRASYNC_BASH)
  # The wrapper makes Wine's console output look like a native program's (see the script). It is
  # started through bash so that it works from a checkout that lost its executable bit.
  set(CMAKE_CROSSCOMPILING_EMULATOR "${OSTRASYNC_BASH};${CMAKE_CURRENT_LIST_DIR}/wine-run;${OSTRASYNC_WINE}")
endif()
