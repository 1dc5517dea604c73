#!/usr/bin/env bash
# Builds and runs every test, in stages:
#   native   the native suite (GoogleTest through CTest)
#   shared   the store's tests and its model-based test against a throwaway
#            PostgreSQL (scripts/test-pg.sh; installs PostgreSQL), two
#            services on one catalog among them
#   asan     the same suite under AddressSanitizer, UndefinedBehaviorSanitizer
#            and LeakSanitizer
#   windows  the Windows suite, x64 and x86, cross-built with MinGW-w64 and
#            run under Wine (scripts/test-windows.sh)
#   host     hosts built from the installed package, natively and for x64
#            and x86, run against the reference service; README.md's host
#            compiled (scripts/test-host.sh)
#   fuzz     every fuzzer for a bounded time (FUZZ_SECONDS each, default 15)
#   bench    the backup benchmark at a small size (figures only, not judged)
#   rados    only when named: the RADOS content store against a one-node Ceph
#            in a network namespace: its unit tests, the store's model-based
#            test on the cluster's PostgreSQL and Ceph, and an OSD outage
#            during uploads (scripts/rados-store-test.sh; installs Ceph, runs
#            as root, about 5 min)
#   hosts    only when named: two services on hosts of their own (network
#            namespaces) sharing the store of scripts/shared-store.sh:
#            scripts/shared-store-demo.sh and scripts/shared-store-faults.sh
#            (installs PostgreSQL and Ceph, runs as root, about 4 min)
#
#   scripts/test.sh [--no-x86] [STAGE...]    (default: every stage but rados
#                                            and hosts, in order)
#
# With CI=true (as CI runs it) or BREVANTO_CLUSTER=1, the default takes rados
# and hosts as well (Ceph's packages, about 8 min more); BREVANTO_CLUSTER=0
# leaves them out there too.
#
# --no-x86 (or BREVANTO_NO_X86=1) leaves out the 32-bit Windows suite and
# host, and with them the i386 architecture and the wine32 packages they add
# to the system.
# Installs what is missing with apt-get. Needs 127.0.0.1:11001 free.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(native shared asan windows host fuzz bench)
x86=1
stages=()
for arg in "$@"; do
  case $arg in
    --no-x86) x86=0 ;;
    -h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
    native | shared | asan | windows | host | fuzz | bench | rados | hosts) stages+=("$arg") ;;
    *) echo "test.sh: unknown stage $arg (${all_stages[*]})" >&2; exit 2 ;;
  esac
done
cluster=${BREVANTO_CLUSTER:-}
[ -n "$cluster" ] || { [ "${CI:-}" = true ] && cluster=1; }
[ "$cluster" = 1 ] && all_stages+=(rados hosts)
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
[ "${BREVANTO_NO_X86:-0}" = 1 ] && x86=0

scripts/deps.sh cmake g++ make pkg-config libgtest-dev libgmock-dev googletest \
  libsodium-dev libsqlite3-dev libcli11-dev libssl-dev libpq-dev \
  g++-mingw-w64-x86-64-posix wine64 clang libclang-rt-14-dev
# The suites and the service they start listen on 127.0.0.1:11001.
scripts/check-port.sh 11001

# Building is most of the suite's time, so each stage builds its sources in
# batches of eight (a unity build: the standard and GoogleTest headers are
# read once per batch) and without full debug information: the native stage
# optimised as shipped, the sanitizer stage unoptimised with line tables for
# its reports. The benchmark, the hosts and the PostgreSQL stage use the
# native stage's build. A build directory configured otherwise is
# reconfigured (and rebuilt) this way.
# Tests run two at a time: most of them wait on sockets and child processes,
# and those that listen on 127.0.0.1:11001 take turns (RESOURCE_LOCK).
native_build=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON)

stage_native() {
  cmake -S . -B build "${native_build[@]}" >/dev/null
  cmake --build build -j2
  (cd build && ctest -j2 --output-on-failure)
}

stage_asan() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
    -DCMAKE_UNITY_BUILD=ON -DBREVANTO_SANITIZE=ON >/dev/null
  cmake --build build-asan -j2
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     ctest -j2 --output-on-failure)
}

stage_windows() {
  export CMAKE_OPTIONS="${native_build[*]}"
  if [ "$x86" = 1 ]; then
    scripts/test-windows.sh
  else
    scripts/test-windows.sh --arch x64
  fi
}

stage_host() {
  if [ "$x86" = 1 ]; then
    scripts/test-host.sh native x64 x86
  else
    scripts/test-host.sh native x64
  fi
}

stage_fuzz() { scripts/fuzz.sh "${FUZZ_SECONDS:-15}"; }

stage_bench() { scripts/bench-backup.sh --small; }

# The cluster's stages leave the shared store as they found it: a store
# they started is stopped when the run ends, passed or not.
cluster_was_up=""
note_cluster() {
  [ -z "$cluster_was_up" ] || return 0
  if scripts/shared-store.sh status >/dev/null 2>&1; then
    cluster_was_up=yes
  else
    cluster_was_up=no
    trap 'scripts/shared-store.sh down >/dev/null 2>&1 || true' EXIT
  fi
}

stage_rados() {
  note_cluster
  scripts/rados-store-test.sh all
}

# Two services on hosts of their own sharing the PostgreSQL + Ceph store:
# the demo, then the faults (both start the store when it is not up).
stage_hosts() {
  note_cluster
  scripts/shared-store-demo.sh build
  scripts/shared-store-faults.sh build
}

stage_shared() {
  scripts/deps.sh postgresql
  cmake -S . -B build "${native_build[@]}" >/dev/null
  cmake --build build -j2 --target brevanto-service service_store_test service_shared_store_test \
    service_model_test
  scripts/test-pg.sh build
}

# Every stage stops the script on failure: reaching the end means all ran
# (the benchmark prints figures only and is not judged).
times=()
t_all=$SECONDS
for stage in "${stages[@]}"; do
  echo "== stage $stage"
  t=$SECONDS
  "stage_$stage"
  times+=("$stage $((SECONDS - t)) s")
done
printf '== stages passed: %s; %d min in all\n' "$(IFS=,; echo "${times[*]}" | sed 's/,/, /g')" \
  $(((SECONDS - t_all + 59) / 60))
