#!/usr/bin/env bash
# Builds the benchmarks with optimisation and prints one row per comparison:
#   name: ours X, peer Y, ratio Z
# Every pair is measured side by side in the same run (median of rounds).
# The protocol benchmark paces its messages with the service's own reply
# sender, so it builds the service's core too.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-}

scripts/deps.sh cmake g++ make pkg-config libpugixml-dev libexpat1-dev libtinyxml2-dev

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBREVANTO_BUILD_BENCHMARKS=ON \
  -DBREVANTO_BUILD_TESTS=OFF -DBREVANTO_BUILD_TOOLS=ON >/dev/null
cmake --build build-bench -j2 --target parser_bench protocol_bench >/dev/null
echo "# $(date -u +%Y-%m-%d) on $(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
build-bench/bench/parser_bench $rounds
build-bench/bench/protocol_bench $rounds
