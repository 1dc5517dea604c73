# shellcheck shell=bash
# Shared by the scripts that run services against the store of
# scripts/shared-store.sh (sourced): hosts of their own, each a network
# namespace plugged into the store's bridge, each with its own storage
# root, all sharing the store's PostgreSQL catalog, its RADOS pool and one
# content key. Needs $work (a folder of the caller's), $build.

store_dir=${BREVANTO_SHARED_DIR:-/var/tmp/brevanto-shared}
store_ns=$(cat "$store_dir/namespace" 2>/dev/null || true)
store_conf=$store_dir/ceph/ceph.conf
store_addr=10.77.0.1
store_bridge=brvshared0
# shellcheck disable=SC2154  # $build and $work are the caller's
service_bin=$build/service/brevanto-service
cli_bin=$build/cli/brevanto
export BREVANTO_USER=demo BREVANTO_PASSWORD=demo-password

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f s", b - a }'; }
say() { printf '== %s\n' "$*"; }

# Each run gets a database and an object namespace of its own: the
# contents of an earlier run are sealed with account keys this run does
# not have.
run_id=demo$(date +%s)$$
catalog_db=$run_id
catalog="host=$store_addr port=5432 user=brevanto dbname=$catalog_db connect_timeout=5"
contents="rados://brevanto?conf=$store_conf&ns=$run_id&timeout=10"

psql_store() {
  ip netns exec "$store_ns" runuser -u postgres -- psql -h 127.0.0.1 -U brevanto -d "$1" -qtAc "$2"
}

host_ns() { echo "$store_ns-h$1"; }
host_addr() { echo "${store_addr%.*}.$((10 + $1))"; }

# make_host N: the namespace, its veth into the store's bridge, its root.
make_host() {
  local n=$1 ns
  ns=$(host_ns "$n")
  ip netns del "$ns" 2>/dev/null || true
  ip netns add "$ns"
  ip netns exec "$ns" ip link set lo up
  ip -n "$store_ns" link del "h$n-$$" 2>/dev/null || true
  ip link add eth0 netns "$ns" type veth peer name "h$n-$$" netns "$store_ns"
  ip -n "$store_ns" link set "h$n-$$" master "$store_bridge" up
  ip -n "$ns" addr add "$(host_addr "$n")/24" dev eth0
  ip -n "$ns" link set eth0 up
  # shellcheck disable=SC2154
  mkdir -p "$work/host$n"
  cp "$work/content.key" "$work/host$n/content.key"
  chmod 600 "$work/host$n/content.key"
  # The account, in each host's own accounts catalog: the same name, the
  # first account of each, so the same user id everywhere.
  printf '%s\n' "$BREVANTO_PASSWORD" |
    "$service_bin" --root "$work/host$n/root" --add-user "$BREVANTO_USER" >/dev/null 2>&1
}

drop_host() {
  ip netns del "$(host_ns "$1")" 2>/dev/null || true
}

# start_host_service N: the service of host N, in the background; waits until
# it listens. Its pid in $work/host$N/pid, its log in $work/host$N/log.
start_host_service() {
  local n=$1 dir=$work/host$1
  rm -f "$dir/port"
  ip netns exec "$(host_ns "$n")" "$service_bin" --root "$dir/root" --catalog "$catalog" \
    --contents "$contents" --content-key "$dir/content.key" --port-file "$dir/port" \
    --log-level info 2>>"$dir/log" &
  echo $! >"$dir/pid"
  for _ in $(seq 300); do
    [ -s "$dir/port" ] && return 0
    kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "service $n did not start:" >&2
  tail -n 5 "$dir/log" >&2
  return 1
}

stop_host_service() {
  local pidfile=$work/host$1/pid
  [ -f "$pidfile" ] || return 0
  kill "$(cat "$pidfile")" 2>/dev/null || true
  wait "$(cat "$pidfile")" 2>/dev/null || true
  rm -f "$pidfile"
}

kill_host_service() {
  local pidfile=$work/host$1/pid
  kill -9 "$(cat "$pidfile")" 2>/dev/null || true
  wait "$(cat "$pidfile")" 2>/dev/null || true
  rm -f "$pidfile"
}

# on_host N COMMAND...: the command line `brevanto` run on host N.
on_host() {
  local n=$1
  shift
  BREVANTO_LOG_DIR=$work/host$n/cli-log ip netns exec "$(host_ns "$n")" "$cli_bin" "$@"
}

# Installs what is missing, starts the store (or leaves it running) and
# builds the service and the command line: all a fresh machine needs.
prepare_store() {
  scripts/deps.sh cmake ninja-build g++ pkg-config libgtest-dev libsodium-dev libsqlite3-dev \
    libcli11-dev libssl-dev libpq-dev librados-dev >/dev/null
  scripts/shared-store.sh up >"$work/store-up.log" || { cat "$work/store-up.log" >&2; return 1; }
  store_ns=$(cat "$store_dir/namespace")
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/build.log" 2>&1 ||
      { tail -n 20 "$work/build.log" >&2; return 1; }
  fi
  cmake --build "$build" -j2 --target brevanto-service brevanto-cli >>"$work/build.log" 2>&1 ||
    { tail -n 20 "$work/build.log" >&2; return 1; }
}

setup_hosts() {
  psql_store postgres "CREATE DATABASE $catalog_db"
  # The service's key, made once and copied to every host.
  head -c 32 /dev/urandom >"$work/content.key"
  chmod 600 "$work/content.key"
  make_host 1
  make_host 2
}

cleanup_hosts() {
  stop_host_service 1
  stop_host_service 2
  drop_host 1
  drop_host 2
  psql_store postgres "DROP DATABASE IF EXISTS $catalog_db" 2>/dev/null || true
  ip netns exec "$store_ns" rados -c "$store_conf" -p brevanto -N "$run_id" ls 2>/dev/null |
    while read -r object; do
      ip netns exec "$store_ns" rados -c "$store_conf" -p brevanto -N "$run_id" rm "$object"
    done || true
}
