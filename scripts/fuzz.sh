#!/usr/bin/env bash
# Builds the fuzzers with clang (ASan + UBSan + libFuzzer) and runs each for
# a bounded time.
#
#   scripts/fuzz.sh              about 20 seconds per fuzzer
#   scripts/fuzz.sh 600          ten minutes per fuzzer
#
# Findings are written to build-fuzz/findings/; the corpus grows in
# build-fuzz/corpus/ (seeded from fuzz/corpus/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

scripts/deps.sh clang libclang-rt-14-dev cmake make

# Sources built in batches (a unity build), as the test suite's are.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_UNITY_BUILD=ON -DBREVANTO_BUILD_FUZZERS=ON -DBREVANTO_BUILD_TESTS=OFF >/dev/null
fuzzers=(reply_parser_fuzzer client_fuzzer)
[ -d service ] && grep -q service_fuzzer fuzz/CMakeLists.txt && fuzzers+=(service_fuzzer)
cmake --build build-fuzz -j2 --target "${fuzzers[@]}"

mkdir -p build-fuzz/findings
for fuzzer in "${fuzzers[@]}"; do
  corpus=build-fuzz/corpus/$fuzzer
  mkdir -p "$corpus"
  seeds=fuzz/corpus/$fuzzer
  echo "== $fuzzer for ${seconds}s"
  (cd build-fuzz && ./fuzz/$fuzzer -max_total_time="$seconds" -max_len=65536 \
      -dict=../fuzz/protocol.dict -artifact_prefix=findings/$fuzzer- \
      -print_final_stats=1 "corpus/$fuzzer" "../$seeds" 2>&1 |
      grep -E '^(#[0-9]+ *DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true)
  if ls build-fuzz/findings/"$fuzzer"-* >/dev/null 2>&1; then
    echo "$fuzzer: finding(s) in build-fuzz/findings/" >&2
    exit 1
  fi
done
