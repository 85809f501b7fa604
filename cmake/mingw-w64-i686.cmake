# Toolchain file: 32-bit Windows (x86) with MinGW-w64.
# Debian packages: g++-mingw-w64-i686-posix, mingw-w64-tools.
set(CMAKE_SYSTEM_PROCESSOR X86)
set(SPOOLSYNC_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
