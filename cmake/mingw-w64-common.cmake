# Shared part of the MinGW-w64 toolchain files: cross-compiles for Windows
# from Linux with the Debian mingw-w64 compilers (POSIX threading model, which
# provides the C++ standard library's thread support).
#
# The including file sets SPOOLSYNC_MINGW_TRIPLET, for example
# x86_64-w64-mingw32, and CMAKE_SYSTEM_PROCESSOR.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER ${SPOOLSYNC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SPOOLSYNC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SPOOLSYNC_MINGW_TRIPLET}-windres)
# The message compiler (Debian: binutils-mingw-w64), for the event log's
# message table.
set(CMAKE_MC_COMPILER ${SPOOLSYNC_MINGW_TRIPLET}-windmc)

# Headers and libraries come from the MinGW-w64 tree only; programs (wine,
# the binutils) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${SPOOLSYNC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
