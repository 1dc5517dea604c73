#!/usr/bin/env bash
# Builds and runs every test:
#   1. the native suite (GoogleTest through CTest),
#   2. the same suite under AddressSanitizer, UndefinedBehaviorSanitizer and
#      LeakSanitizer,
#   3. the example host built against the installed package,
#   4. the Windows suite, cross-built with MinGW-w64 and run under Wine,
#   5. every fuzzer for a bounded time (FUZZ_SECONDS each, default 15).
# Installs what is missing with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh cmake g++ make pkg-config libgtest-dev libgmock-dev googletest \
  libsodium-dev libsqlite3-dev libcli11-dev libssl-dev \
  g++-mingw-w64-x86-64-posix wine64 clang libclang-rt-14-dev

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure)

echo "== native tests under ASan, UBSan and LSan"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBREVANTO_SANITIZE=ON >/dev/null
cmake --build build-asan -j2
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure)

echo "== example host against the installed package"
stage="$root/build/stage"
rm -rf "$stage" build/example
cmake --install build --prefix "$stage" >/dev/null
cmake -S examples/host -B build/example -DCMAKE_PREFIX_PATH="$stage" >/dev/null
cmake --build build/example -j2
build/example/brevanto_example_host --version
PKG_CONFIG_PATH="$stage/lib/pkgconfig" pkg-config --cflags --libs brevanto >/dev/null

echo "== Windows build and tests under Wine"
scripts/test-windows.sh

echo "== fuzzers"
scripts/fuzz.sh "${FUZZ_SECONDS:-15}"

echo "== backup benchmark at a small size (figures only, not judged)"
scripts/bench-backup.sh --small

# Every step above stops the script on failure: reaching here means all ran
# (the benchmark prints figures only and is not counted as a suite).
echo "suites: 5 passed, 0 failed"
