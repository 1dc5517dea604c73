#!/usr/bin/env bash
# Cross-build the library for Windows with MinGW-w64 and run the test suite
# under Wine (headless; no X server needed): 64-bit (x64) and 32-bit (x86)
# builds, the 32-bit programs running in a 64-bit Wine prefix (WoW64) as they
# would on 64-bit Windows.
#
# Usage: scripts/test-windows.sh [--arch x64|x86|all] [BUILD_DIR] [ctest arguments...]
#   --arch     the bitness to build and test; default all (x64, then x86)
#   BUILD_DIR  the x64 build directory, default <repo>/build-windows; the x86
#              build goes to BUILD_DIR-x86 (with --arch x86: BUILD_DIR itself)
#
# Environment:
#   WINEPREFIX      Wine prefix to use; default BUILD_DIR/wineprefix (created
#                   and initialised on the first run, ~10-20 s, ~700 MB)
#   JOBS            parallel build jobs (default 2)
#   CMAKE_GENERATOR generator for a new build dir (default Ninja if
#                   installed, else CMake's default)
#   CMAKE_OPTIONS   more options for configuring (-DCMAKE_UNITY_BUILD=ON ...)
#   CTEST_TIMEOUT   per-test timeout in seconds for tests without their own
#                   TIMEOUT property (default 300)
#   SOURCE_DIR      project to build (default: this repository)
#
# Debian packages needed: cmake, g++-mingw-w64-x86-64-posix, wine64,
# googletest (sources in /usr/src/googletest), optionally ninja-build; for
# x86 also g++-mingw-w64-i686-posix and wine32:i386, which this script
# installs (enabling the i386 architecture) when they are missing.

set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
src=${SOURCE_DIR:-$repo}
arch=all
if [ "${1:-}" = --arch ]; then
  [ $# -ge 2 ] || { echo "test-windows: --arch needs x64, x86 or all" >&2; exit 1; }
  arch=$2
  shift 2
fi
jobs=${JOBS:-2}
timeout=${CTEST_TIMEOUT:-300}
wine_run=$repo/scripts/wine-run

say() { printf '\n==> %s\n' "$*"; }
die() { printf 'test-windows: %s\n' "$*" >&2; exit 1; }

# The 32-bit cross compiler and Wine's 32-bit half, installed before any
# Wine prefix is made (scripts/deps-x86.sh; it enables the i386 architecture).
x86_packages() { "$repo/scripts/deps-x86.sh"; }

case $arch in
  all)
    x86_packages
    build=${1:-$repo/build-windows}
    [ $# -gt 0 ] && shift
    t_all=$SECONDS
    status=0
    "$repo/scripts/test-windows.sh" --arch x64 "$build" "$@" || status=1
    "$repo/scripts/test-windows.sh" --arch x86 "$build-x86" "$@" || status=1
    say "Windows suites (x64 and x86): $([ $status -eq 0 ] && echo passed || echo FAILED)" \
        "in $((SECONDS - t_all)) s"
    exit "$status"
    ;;
  x64)
    build=${1:-$repo/build-windows}
    toolchain=$repo/cmake/mingw-w64-x86_64.cmake
    triplet=x86_64-w64-mingw32
    compiler_package=g++-mingw-w64-x86-64-posix
    ;;
  x86)
    x86_packages
    build=${1:-$repo/build-windows-x86}
    toolchain=$repo/cmake/mingw-w64-i686.cmake
    triplet=i686-w64-mingw32
    compiler_package=g++-mingw-w64-i686-posix
    ;;
  *) die "--arch takes x64, x86 or all, not $arch" ;;
esac
[ $# -gt 0 ] && shift

for tool in cmake ctest "$triplet-g++-posix" "$triplet-objdump"; do
  command -v "$tool" >/dev/null 2>&1 ||
    die "$tool not found (apt-get install cmake $compiler_package)"
done
command -v wine >/dev/null 2>&1 || command -v wine64 >/dev/null 2>&1 ||
  [ -x /usr/lib/wine/wine64 ] || die "Wine not found (apt-get install wine64)"

mkdir -p "$build"
build=$(cd "$build" && pwd)
t_total=$SECONDS

# --- Configure -------------------------------------------------------------
say "Configuring $build ($arch)"
t=$SECONDS
# CMake reads the toolchain file only when a build directory is first
# configured; a directory configured another way would build for the host.
if [ -f "$build/CMakeCache.txt" ] &&
   [ "$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")" != "$toolchain" ]
then
  die "$build was not configured with $toolchain; use another directory or delete it"
fi
cmake_args=(-S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE:FILEPATH="$toolchain")
read -r -a options <<<"${CMAKE_OPTIONS:-}"
cmake_args+=("${options[@]}")
if [ ! -f "$build/CMakeCache.txt" ] && [ -z "${CMAKE_GENERATOR:-}" ] &&
   command -v ninja >/dev/null 2>&1; then
  cmake_args+=(-G Ninja)
fi
cmake "${cmake_args[@]}"
t_configure=$((SECONDS - t))

# Wine prefix: the same default as the toolchain file, i.e. WINEPREFIX, else
# WINE_RUN_PREFIX from the cache (normally BUILD_DIR/wineprefix).
prefix=$(sed -n 's/^WINE_RUN_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
prefix=${prefix:-$build/wineprefix}
active_prefix=${WINEPREFIX:-$prefix}

# --- Build -----------------------------------------------------------------
say "Building with $jobs jobs"
t=$SECONDS
cmake --build "$build" --parallel "$jobs"
t_build=$((SECONDS - t))

# --- No MinGW runtime DLLs needed ------------------------------------------
# The DLL links libgcc/libstdc++/winpthread statically and the tests link
# with -static, so nothing may import the MinGW runtime DLLs.
say "Checking DLL imports"
bad=0
while IFS= read -r -d '' f; do
  imports=$("$triplet-objdump" -p "$f" | sed -n 's/^[[:space:]]*DLL Name: //p')
  printf '  %s: %s\n' "${f#"$build"/}" "$(printf '%s' "$imports" | tr '\n' ' ')"
  if grep -qiE '^(libgcc|libstdc\+\+|libwinpthread|libssp|libatomic|libgomp)' <<<"$imports"; then
    printf '    ^ needs a MinGW runtime DLL\n' >&2
    bad=1
  fi
done < <(find "$build" \( -path "$prefix" -o -path "$active_prefix" \) -prune -o \
              -type f \( -iname '*.dll' -o -iname '*.exe' \) \
              ! -path '*/CMakeFiles/*' -print0 | sort -z)
[ "$bad" -eq 0 ] || die "some binaries depend on MinGW runtime DLLs"

# --- Wine prefix (created and initialised on first use only) -----------------
say "Wine prefix $active_prefix"
t=$SECONDS
"$wine_run" --default-prefix "$prefix" --init
t_prefix=$((SECONDS - t))

# --- Tests -----------------------------------------------------------------
# Keep one idle Wine process (cmd.exe waiting on a pipe) alive while the
# tests run.  Otherwise every test starts a fresh wineserver plus Wine's
# system services, which inherit the test's stdout and make CTest wait about
# a second per test for them to exit.  The keeper ends when the pipe's write
# end is closed: below, or when this script exits for any reason.
exec {keeper_fd}> >(exec "$wine_run" --default-prefix "$prefix" -- cmd.exe \
                      >/dev/null 2>&1)
keeper_pid=$!
# Let Wine's services come up now (with /dev/null as their output).
# Whatever is started while keeper_fd is open must not inherit it, or the
# keeper would never see end-of-file.
"$wine_run" --default-prefix "$prefix" -- cmd.exe /c exit \
  </dev/null >/dev/null 2>&1 {keeper_fd}>&- || true

say "Running tests"
t=$SECONDS
status=0
(cd "$build" && ctest --output-on-failure --timeout "$timeout" "$@") \
  {keeper_fd}>&- || status=$?
t_test=$((SECONDS - t))

exec {keeper_fd}>&-
for _ in $(seq 50); do kill -0 "$keeper_pid" 2>/dev/null || break; sleep 0.2; done

say "Times (s, $arch): configure $t_configure, build $t_build, wine prefix $t_prefix, tests $t_test, total $((SECONDS - t_total))"
exit "$status"
