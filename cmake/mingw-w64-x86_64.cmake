# CMake toolchain file: cross-compile for 64-bit Windows with MinGW-w64
# (Debian packages g++-mingw-w64-x86-64-posix / gcc-mingw-w64-x86-64-posix).
#
#   cmake -S . -B build-windows \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# See mingw-w64-common.cmake for the settings both bitnesses share.

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_DEFAULT_TRIPLET x86_64-w64-mingw32)
include("${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake")
