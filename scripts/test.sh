#!/usr/bin/env bash
# Builds and runs every test: the native suite, the example host built
# against the installed package, and the Windows suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh cmake g++ make pkg-config libgtest-dev libgmock-dev googletest libsodium-dev libsqlite3-dev libcli11-dev

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure)

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
