#!/usr/bin/env bash
# Runs the store's tests against a throwaway PostgreSQL: a cluster made
# with initdb in a temp folder, listening on a Unix socket only (no TCP),
# run as a non-root user when this runs as root (PostgreSQL refuses root),
# stopped and deleted at the end. BREVANTO_TEST_PG holds its connection
# string for the tests.
#
#   scripts/test-pg.sh [BUILD_DIR] [-- COMMAND...]
#
# Without a command it runs the tests that take BREVANTO_TEST_PG (in their
# own network namespace: the two-services test starts services), the
# store's model-based test among them on a database of its own
# (BREVANTO_MODEL_SECONDS, default 60); with one it runs COMMAND with
# BREVANTO_TEST_PG set (e.g. a benchmark).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
if [ $# -gt 0 ] && [ "$1" != "--" ]; then build=$1; shift; fi
[ "${1:-}" = "--" ] && shift

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$pg_bin" ] || [ ! -x "$pg_bin/initdb" ]; then
  scripts/deps.sh postgresql
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
fi

dir=$(mktemp -d /tmp/brevanto-pg.XXXXXX)
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
  # The cluster belongs to an unprivileged user; the tests (root) reach it
  # through the socket as that user's role.
  owner=$(id -u nobody)
  chown "$owner:$(id -g nobody)" "$dir"
  chmod 755 "$dir"
  as_owner=(setpriv --reuid="$owner" --regid="$(id -g nobody)" --clear-groups)
fi
stop() {
  "${as_owner[@]}" "$pg_bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT

"${as_owner[@]}" "$pg_bin/initdb" -D "$dir/data" -U brevanto --auth=trust -E UTF8 \
  --no-locale >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log"; exit 1; }
# No TCP at all: the socket in the temp folder only.
"${as_owner[@]}" "$pg_bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
  -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c fsync=on" start >/dev/null
"${as_owner[@]}" "$pg_bin/createdb" -h "$dir" -U brevanto brevanto
"${as_owner[@]}" "$pg_bin/createdb" -h "$dir" -U brevanto brevanto_model
export BREVANTO_TEST_PG="host=$dir user=brevanto dbname=brevanto"
echo "== PostgreSQL at $dir"

tests="cd '$build' && ctest --output-on-failure -R '^(service_store_test|service_shared_store_test)\$' &&
  BREVANTO_TEST_PG='host=$dir user=brevanto dbname=brevanto_model' \
    BREVANTO_MODEL_SECONDS=${BREVANTO_MODEL_SECONDS:-60} \
    ctest --output-on-failure -R '^service_model_test\$'"
if [ $# -gt 0 ]; then
  "$@"
elif [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
  unshare -n bash -c "ip link set lo up && $tests"
else
  # Without network namespaces the two-services test skips; the model test
  # needs 127.0.0.1:11001 free.
  bash -c "$tests"
fi
