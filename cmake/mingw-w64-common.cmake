# The common part of the MinGW-w64 toolchain files mingw-w64-x86_64.cmake
# (64-bit Windows) and mingw-w64-i686.cmake (32-bit Windows), which set
# CMAKE_SYSTEM_PROCESSOR and MINGW_DEFAULT_TRIPLET and include this file.
# Uses the POSIX thread model so that std::thread, std::mutex and friends are
# available (they are backed by winpthreads).
#
# Executables built for the target are run through scripts/wine-run (Wine,
# headless, no dialogs), which is what CTest uses for add_test() commands.
# 32-bit programs run in the same kind of 64-bit Wine prefix (WoW64), as
# they would on 64-bit Windows; that needs Debian's wine32 package.
#
# Cache variables that may be overridden on the command line:
#   MINGW_TRIPLET          target triplet (default MINGW_DEFAULT_TRIPLET)
#   MINGW_SYSROOT          MinGW-w64 headers/libraries root
#                          (default /usr/<triplet>)
#   WINE_RUN               emulator wrapper (default <source>/scripts/wine-run;
#                          none when that does not exist, as in an install)
#   WINE_RUN_PREFIX        Wine prefix used when WINEPREFIX is not set in the
#                          environment at test time
#                          (default <build>/wineprefix)

set(CMAKE_SYSTEM_NAME Windows)

set(MINGW_TRIPLET "${MINGW_DEFAULT_TRIPLET}" CACHE STRING "MinGW-w64 target triplet")
set(MINGW_SYSROOT "/usr/${MINGW_TRIPLET}" CACHE PATH "MinGW-w64 sysroot")

# Compilers: the -posix variants (the unsuffixed names are Debian
# alternatives that may point at the win32 thread model).
set(CMAKE_C_COMPILER   "${MINGW_TRIPLET}-gcc-posix")
set(CMAKE_CXX_COMPILER "${MINGW_TRIPLET}-g++-posix")
set(CMAKE_RC_COMPILER  "${MINGW_TRIPLET}-windres")

# CMake only derives the binutils prefix from compiler names it recognises;
# "...-g++-posix" is not one of them, so name the cross binutils explicitly
# rather than let it fall back to the host's ar/ranlib/objdump.
find_program(CMAKE_AR      NAMES "${MINGW_TRIPLET}-ar")
find_program(CMAKE_RANLIB  NAMES "${MINGW_TRIPLET}-ranlib")
find_program(CMAKE_NM      NAMES "${MINGW_TRIPLET}-nm")
find_program(CMAKE_OBJDUMP NAMES "${MINGW_TRIPLET}-objdump")
find_program(CMAKE_OBJCOPY NAMES "${MINGW_TRIPLET}-objcopy")
find_program(CMAKE_STRIP   NAMES "${MINGW_TRIPLET}-strip")
find_program(CMAKE_LINKER  NAMES "${MINGW_TRIPLET}-ld")
find_program(CMAKE_DLLTOOL NAMES "${MINGW_TRIPLET}-dlltool")

# Look for target headers, libraries and CMake packages only below the roots
# of CMAKE_FIND_ROOT_PATH; host programs (code generators, interpreters) come
# from the host. The roots are the MinGW sysroot, anything the caller adds,
# and the prefixes of CMAKE_PREFIX_PATH (the cache variable or the
# environment variable): that is where Windows builds of other packages are
# installed, so -DCMAKE_PREFIX_PATH=/opt/brevanto-win64 finds an installed
# Brevanto for MinGW as it finds one natively.
list(APPEND CMAKE_FIND_ROOT_PATH "${MINGW_SYSROOT}")
set(_mingw_prefixes ${CMAKE_PREFIX_PATH})
if(DEFINED ENV{CMAKE_PREFIX_PATH})
  string(REPLACE ":" ";" _mingw_env_prefixes "$ENV{CMAKE_PREFIX_PATH}")
  list(APPEND _mingw_prefixes ${_mingw_env_prefixes})
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${_mingw_prefixes})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
unset(_mingw_prefixes)
unset(_mingw_env_prefixes)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Run target executables (add_test, add_custom_command, try_run) under Wine.
get_filename_component(_wine_run_default
  "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ABSOLUTE)
set(WINE_RUN "${_wine_run_default}" CACHE FILEPATH
  "Wrapper that runs a Windows executable under Wine")
set(WINE_RUN_PREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
  "Wine prefix used when WINEPREFIX is not set in the environment")
unset(_wine_run_default)

# --default-prefix: used only when the caller has no WINEPREFIX set.
# --dll-dir: DLLs built at the top of the build tree (e.g. the library under
#   test) are found by executables that live in subdirectories.
# An emulator given on the command line (-DCMAKE_CROSSCOMPILING_EMULATOR=...)
# is left alone.
# The copy installed with the package (lib/cmake/Brevanto) has no
# scripts/wine-run beside it: a host's build then runs nothing under Wine.
if(NOT DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR} AND EXISTS "${WINE_RUN}")
  set(CMAKE_CROSSCOMPILING_EMULATOR
    "${WINE_RUN};--default-prefix;${WINE_RUN_PREFIX};--dll-dir;${CMAKE_BINARY_DIR};--")
endif()
