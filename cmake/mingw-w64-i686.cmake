# CMake toolchain file: cross-compile for 32-bit (x86) Windows with MinGW-w64
# (Debian packages g++-mingw-w64-i686-posix / gcc-mingw-w64-i686-posix).
#
#   cmake -S . -B build-windows-x86 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#
# See mingw-w64-common.cmake for the settings both bitnesses share.

set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_DEFAULT_TRIPLET i686-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
