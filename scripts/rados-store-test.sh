#!/usr/bin/env bash
# The RADOS content store against a one-node Ceph (scripts/shared-store.sh
# up, left running afterwards; `scripts/shared-store.sh down` removes it):
#
#   scripts/rados-store-test.sh [unit|fault|all]      (default: all)
#
# unit:  service_rados_store_test with BREVANTO_TEST_RADOS set.
# fault: brevanto-service with --contents rados://..., a file uploaded, then
#        the OSD killed (SIGKILL) and a 256 MiB upload started; the OSD comes
#        back 10 s later. The upload must either succeed or fail with the
#        service's error within the store's timeout, never hang; afterwards
#        every acknowledged file downloads byte for byte, also from a
#        restarted service.
# Runs as root. BUILD_DIR (default build) is the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}

DIR=${BREVANTO_SHARED_DIR:-/var/tmp/brevanto-shared}
NS=${BREVANTO_SHARED_NS:-brevanto-shared}
CONF="$DIR/ceph/ceph.conf"
build=$(realpath -m "${BUILD_DIR:-build}")

scripts/shared-store.sh up | sed 's/^/  /'
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target service_rados_store_test brevanto-service brevanto-cli >/dev/null

if [ "$what" = unit ] || [ "$what" = all ]; then
  echo "== unit: service_rados_store_test"
  ip netns exec "$NS" env BREVANTO_TEST_RADOS="$CONF" \
    "$build/service/service_rados_store_test/service_rados_store_test" --gtest_brief=1
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
  "$build/service/brevanto-service" --root "$work/storage" --add-user fault >/dev/null
start_service() {
  rm -f "$work/port"
  in_ns "$build/service/brevanto-service" --root "$work/storage" --local-root "$work" \
    --contents "$contents" --port-file "$work/port" --log-level info >>"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 1 300); do [ -s "$work/port" ] && return 0; sleep 0.1; done
  cat "$work/service.log" >&2
  return 1
}
cli() { in_ns timeout 300 "$build/cli/brevanto" -q "$@"; }

head -c $((20 << 20)) /dev/urandom >"$work/files/before.bin"
head -c $((256 << 20)) /dev/urandom >"$work/files/during.bin"
start_service
cli put "$work/files/before.bin" '\'
acknowledged=(before.bin)

osd_pid=$(cat "$DIR/ceph/run/osd.0.pid")
kill -9 "$osd_pid"
start=$SECONDS
set +e
cli put "$work/files/during.bin" '\' >"$work/during.out" 2>&1 &
upload=$!
sleep 10
scripts/shared-store.sh up >/dev/null
wait "$upload"
status=$?
set -e
echo "  upload during the outage: exit $status after $((SECONDS - start)) s"
sed 's/^/    /' "$work/during.out"
if [ $status -eq 0 ]; then
  acknowledged+=(during.bin)
elif [ $status -eq 124 ]; then
  echo "FAIL: the upload hung" >&2
  exit 1
elif ! grep -qi "error" "$work/during.out"; then
  echo "FAIL: the upload failed without saying why" >&2
  exit 1
fi

check_back() {
  local name
  for name in "${acknowledged[@]}"; do
    rm -f "$work/back/$name"
    cli get "\\$name" "$work/back/"
    cmp "$work/files/$name" "$work/back/$name" || { echo "FAIL: $name differs" >&2; exit 1; }
  done
}
check_back
stop_service
start_service
check_back
echo "  acknowledged files intact, also after a restart: ${acknowledged[*]}"
echo "== rados-store-test: ok"
