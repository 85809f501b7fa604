# Toolchain file: 64-bit Windows (x64) with MinGW-w64.
# Debian packages: g++-mingw-w64-x86-64-posix, mingw-w64-tools.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SPOOLSYNC_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
