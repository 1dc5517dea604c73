#!/usr/bin/env bash
# The RADOS content store against a one-node Ceph (scripts/shared-store.sh
# up, left running afterwards; `scripts/shared-store.sh down` removes it):
#
#   scripts/rados-store-test.sh [unit|model|fault|all]      (default: all)
#
# unit:  service_rados_store_test with BREVANTO_TEST_RADOS set.
# model: the store's model-based test (service_model_test: clients, kills,
#        clock jumps) on the shared store: the catalog in a new database of
#        its PostgreSQL, large contents in its pool (BREVANTO_MODEL_SECONDS,
#        default 60).
# fault: brevanto-service with --contents rados://..., a file uploaded, then
#        twice the OSD killed (SIGKILL) and an upload started; the OSD comes
#        back 10 s later. With the store's timeout at 30 s the upload waits
#        and succeeds; at 3 s it fails with the service's error 8, never
#        hangs. Afterwards every acknowledged file downloads byte for byte,
#        also from a restarted service, and `check` passes.
# Runs as root. BUILD_DIR (default build) is the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

DIR=${BREVANTO_SHARED_DIR:-/var/tmp/brevanto-shared}
CONF="$DIR/ceph/ceph.conf"
build=$(realpath -m "${BUILD_DIR:-build}")

scripts/shared-store.sh up | sed 's/^/  /'
NS=$(cat "$DIR/namespace")
# A build directory already configured (the test suite's) is used as it is.
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target service_rados_store_test service_model_test brevanto-service \
  brevanto-cli >/dev/null

if [ "$what" = unit ] || [ "$what" = all ]; then
  echo "== unit: service_rados_store_test"
  ip netns exec "$NS" env BREVANTO_TEST_RADOS="$CONF" \
    "$build/service/service_rados_store_test/service_rados_store_test" --gtest_brief=1
fi

if [ "$what" = model ] || [ "$what" = all ]; then
  echo "== model: service_model_test on a PostgreSQL catalog and RADOS contents"
  pg_bin=$(find /usr/lib/postgresql -mindepth 2 -maxdepth 2 -name bin | sort -V | tail -n1)
  db=model_$$
  psql_store() {
    ip netns exec "$NS" runuser -u postgres -- "$pg_bin/psql" -h 127.0.0.1 -U brevanto \
      -d postgres -qtAc "$1"
  }
  psql_store "CREATE DATABASE $db"
  status=0
  ip netns exec "$NS" env BREVANTO_TEST_PG="host=127.0.0.1 user=brevanto dbname=$db" \
    BREVANTO_TEST_CONTENTS="rados://brevanto?conf=$CONF&ns=model-$$" \
    BREVANTO_MODEL_SECONDS="${BREVANTO_MODEL_SECONDS:-60}" \
    "$build/service/service_model_test/service_model_test" --gtest_brief=1 || status=$?
  psql_store "DROP DATABASE $db" || true
  [ "$status" -eq 0 ] || exit "$status"
fi
[ "$what" = fault ] || [ "$what" = all ] || exit 0

echo "== fault: the OSD stopped for 10 s during an upload"
work=$(mktemp -d /var/tmp/brevanto-rados-fault.XXXXXX)
service_pid=""
stop_service() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=""
  fi
}
cleanup() {
  stop_service
  scripts/shared-store.sh up >/dev/null 2>&1 || true  # the OSD back, whatever happened
  rm -rf "$work"
}
trap cleanup EXIT
in_ns() { ip netns exec "$NS" "$@"; }
export BREVANTO_USER=fault BREVANTO_PASSWORD=fault-password BREVANTO_LOG_DIR="$work/log"
contents="rados://brevanto?conf=$CONF&ns=fault-$$&timeout=30"
mkdir -p "$work/storage" "$work/files" "$work/back"
printf '%s\n' "$BREVANTO_PASSWORD" |
  "$build/service/brevanto-service" --root "$work/storage" --add-user fault >/dev/null 2>&1
start_service() {
  rm -f "$work/port"
  ip netns exec "$NS" "$build/service/brevanto-service" --root "$work/storage" --local-root "$work" \
    --contents "$contents" --port-file "$work/port" --log-level info >>"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 1 300); do [ -s "$work/port" ] && return 0; sleep 0.1; done
  cat "$work/service.log" >&2
  return 1
}
cli() { in_ns timeout 300 "$build/cli/brevanto" -q "$@"; }

head -c $((20 << 20)) /dev/urandom >"$work/files/before.bin"
head -c $((256 << 20)) /dev/urandom >"$work/files/during.bin"
head -c $((64 << 20)) /dev/urandom >"$work/files/failed.bin"
start_service
cli put "$work/files/before.bin" '\'
acknowledged=(before.bin)

# Kills the OSD, uploads $1 while it is gone and brings it back after 10 s;
# $2: what the upload must do, "succeed" or "fail".
upload_in_outage() {
  local name=$1 expect=$2 start status
  kill -9 "$(cat "$DIR/ceph/run/osd.0.pid")"
  start=$(date +%s)
  set +e
  (cli put "$work/files/$name" '\' >"$work/outage.out" 2>&1; echo $? "$(date +%s)" >"$work/outage.status") &
  local upload=$! end
  sleep 10
  scripts/shared-store.sh up >/dev/null
  wait "$upload"
  set -e
  read -r status end <"$work/outage.status"
  echo "  upload of $name during the outage ($contents): exit $status after $((end - start)) s"
  sed 's/^/    /' "$work/outage.out"
  if [ $status -eq 124 ]; then
    echo "FAIL: the upload hung" >&2
    exit 1
  elif [ $status -eq 0 ]; then
    acknowledged+=("$name")
  elif ! grep -q "internal error" "$work/outage.out"; then
    echo "FAIL: the upload failed without the service's error" >&2
    exit 1
  fi
  [ "$expect" = succeed ] && [ $status -eq 0 ] && return 0
  [ "$expect" = fail ] && [ $status -ne 0 ] && return 0
  echo "FAIL: the upload was to $expect" >&2
  exit 1
}
# A timeout longer than the outage: the upload waits and goes on.
upload_in_outage during.bin succeed
# One shorter than it: the upload fails, with the service's error, in time.
stop_service
contents="rados://brevanto?conf=$CONF&ns=fault-$$&timeout=3"
start_service
upload_in_outage failed.bin fail

check_back() {
  local name
  for name in "${acknowledged[@]}"; do
    rm -f "$work/back/$name"
    cli get "\\$name" "$work/back/" || { tail -n 20 "$work/service.log" >&2; exit 1; }
    cmp "$work/files/$name" "$work/back/$name" || { echo "FAIL: $name differs" >&2; exit 1; }
  done
}
check_back
stop_service
start_service
check_back
stop_service
ip netns exec "$NS" "$build/service/brevanto-service" --root "$work/storage" --contents "$contents" \
  check >"$work/check.out" 2>&1 || { cat "$work/check.out" >&2; echo "FAIL: check" >&2; exit 1; }
echo "  acknowledged files intact, also after a restart, and check clean: ${acknowledged[*]}"
echo "== rados-store-test: ok"
