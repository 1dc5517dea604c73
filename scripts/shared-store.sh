#!/usr/bin/env bash
# A store to share between services, on one machine for tests:
#
#   scripts/shared-store.sh up|down|status
#
# `up` installs PostgreSQL and Ceph from Debian's packages when missing and
# starts, inside a network namespace of its own (so that two runs never
# meet), a one-node PostgreSQL and a one-node Ceph: one monitor, one manager
# (it keeps the pool statistics that free space is read from), one
# BlueStore OSD on a sparse file, and a pool of size 1. Everything lives in
# one folder, $BREVANTO_SHARED_DIR or /var/tmp/brevanto-shared; the
# namespace is $BREVANTO_SHARED_NS, by default brevanto-shared for the
# default folder and brevanto-shared-<hash of the folder> for another, and
# is written to <folder>/namespace. It prints how to
# reach both and how long each took to be ready. `up` is idempotent: what
# runs is left alone, a daemon that died is started again (the fault test
# uses that to bring back a killed OSD). `down` stops everything and
# removes the folder and the namespace. Runs as root.
#
# Authentication: none, neither cephx nor PostgreSQL passwords ("trust").
# The daemons listen on 127.0.0.1 and on $STORE_ADDR, the address of a
# bridge inside the namespace (brvshared0, 10.77.0.1/24), which nothing
# outside the namespace reaches unless a veth is plugged into the bridge:
# scripts/shared-store-demo.sh plugs in namespaces of its own as hosts
# (10.77.0.11, .12, ...). PostgreSQL's Unix socket, in a folder only root
# and postgres may enter, is the one door from the machine itself.
#
#   scripts/shared-store.sh demo     runs scripts/shared-store-demo.sh
#
# Measured on the 2-core test machine, shared with other builds (Debian 12,
# Ceph 16.2.15, PostgreSQL 15), packages installed (installing Ceph and
# librados-dev took 90 s), from nothing (`down` before), four runs:
#   PostgreSQL accepts a connection      1.6 to 6.6 s (initdb included)
#   first librados write succeeds        9.0 to 12.9 s more (monitor and
#                                        OSD made, pool created)
#   `up` with everything running         0.1 s (PostgreSQL), 2.1 s (Ceph)
#   resident memory after the first write: PostgreSQL 28 MiB (all its
#   processes), ceph-mon 33 MiB, ceph-mgr 294 MiB, ceph-osd 41 MiB; after
#   scripts/rados-store-test.sh (about 340 MiB written): ceph-mon 37 MiB,
#   ceph-mgr 297 MiB, ceph-osd 99 MiB.
set -euo pipefail
trap 'echo "shared-store: failed at line $LINENO: $BASH_COMMAND" >&2' ERR

DIR=${BREVANTO_SHARED_DIR:-/var/tmp/brevanto-shared}
if [ -z "${BREVANTO_SHARED_NS:-}" ] && [ "$DIR" != /var/tmp/brevanto-shared ]; then
  BREVANTO_SHARED_NS=brevanto-shared-$(printf '%s' "$DIR" | md5sum | cut -c1-8)
fi
NS=${BREVANTO_SHARED_NS:-brevanto-shared}
POOL=brevanto
PG_PORT=5432
STORE_ADDR=10.77.0.1
BRIDGE=brvshared0
PG_BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n1 || true)
CONF="$DIR/ceph/ceph.conf"
export CEPH_CONF="$CONF"

in_ns() { ip netns exec "$NS" "$@"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }
alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1 start=$SECONDS
  shift
  until "$@" >/dev/null 2>&1; do
    if [ $((SECONDS - start)) -ge "$limit" ]; then
      echo "shared-store: timed out after ${limit}s waiting for: $*" >&2
      return 1
    fi
    sleep 0.2
  done
}

ensure_packages() {
  local here
  here=$(dirname "$(readlink -f "$0")")
  "$here/deps.sh" postgresql ceph-mon ceph-osd ceph-mgr ceph-common librados-dev uuid-runtime
  PG_BIN=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n1)
}

ensure_namespace() {
  if ! ip netns list | grep -qw "^$NS"; then ip netns add "$NS"; fi
  in_ns ip link set lo up
  if ! in_ns ip link show "$BRIDGE" >/dev/null 2>&1; then
    in_ns ip link add "$BRIDGE" type bridge
    in_ns ip addr add "$STORE_ADDR/24" dev "$BRIDGE"
  fi
  in_ns ip link set "$BRIDGE" up
}

# --- PostgreSQL ------------------------------------------------------------

pg_pidfile() { echo "$DIR/pg/data/postmaster.pid"; }
pg_running() { [ -f "$(pg_pidfile)" ] && kill -0 "$(head -n1 "$(pg_pidfile)")" 2>/dev/null; }
pg_ready() { in_ns runuser -u postgres -- "$PG_BIN/pg_isready" -q -h 127.0.0.1 -p $PG_PORT; }

start_postgres() {
  if [ ! -d "$DIR/pg/data" ]; then
    mkdir -p "$DIR/pg"
    chown postgres: "$DIR/pg"
    chmod 0700 "$DIR/pg"
    runuser -u postgres -- "$PG_BIN/initdb" -D "$DIR/pg/data" -U brevanto --auth=trust \
      -E UTF8 --locale=C.UTF-8 >"$DIR/pg/initdb.log"
    # Hosts plugged into the bridge connect over TCP.
    echo "host all all ${STORE_ADDR%.*}.0/24 trust" >>"$DIR/pg/data/pg_hba.conf"
  fi
  if ! pg_running; then
    in_ns runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$DIR/pg/data" -l "$DIR/pg/server.log" \
      -o "-h 127.0.0.1,$STORE_ADDR -p $PG_PORT -k $DIR/pg" start >/dev/null
  fi
  wait_for 60 pg_ready
  if ! in_ns runuser -u postgres -- "$PG_BIN/psql" -h 127.0.0.1 -p $PG_PORT -U brevanto -d postgres \
      -tAc "SELECT 1 FROM pg_database WHERE datname = 'brevanto'" | grep -q 1; then
    in_ns runuser -u postgres -- "$PG_BIN/createdb" -h 127.0.0.1 -p $PG_PORT -U brevanto brevanto
  fi
}

# --- Ceph ------------------------------------------------------------------

write_ceph_conf() {
  local fsid
  fsid=$(uuidgen)
  mkdir -p "$DIR/ceph/run" "$DIR/ceph/log" "$DIR/ceph/mon" "$DIR/ceph/mgr" "$DIR/ceph/osd"
  cat >"$CONF" <<EOF
[global]
fsid = $fsid
mon_host = $STORE_ADDR
public_network = ${STORE_ADDR%.*}.0/24
auth_cluster_required = none
auth_service_required = none
auth_client_required = none
run_dir = $DIR/ceph/run
pid_file = $DIR/ceph/run/\$name.pid
log_file = $DIR/ceph/log/\$name.log
mon_data = $DIR/ceph/mon/\$name
mgr_data = $DIR/ceph/mgr/\$name
osd_data = $DIR/ceph/osd/\$name
osd_pool_default_size = 1
osd_pool_default_min_size = 1
osd_pool_default_pg_autoscale_mode = off
mon_allow_pool_size_one = true
mon_allow_pool_delete = true
osd_crush_chooseleaf_type = 0
ms_bind_ipv6 = false
# A one-node test cluster: small caches, few threads.
osd_memory_target = 939524096
bluestore_cache_autotune = false
bluestore_cache_size = 134217728
osd_op_num_shards = 1
osd_op_num_threads_per_shard = 2
mon_warn_on_pool_no_redundancy = false

# Admin sockets for the daemons only: clients would fight over one name.
[mon]
admin_socket = $DIR/ceph/run/\$name.asok
[mgr]
admin_socket = $DIR/ceph/run/\$name.asok

[osd]
admin_socket = $DIR/ceph/run/\$name.asok
osd_objectstore = bluestore
bluestore_block_path = $DIR/ceph/osd/\$name.block
bluestore_block_create = true
bluestore_block_size = 10737418240
bluestore_block_db_create = false
bluestore_block_wal_create = false
EOF
}

ceph_cmd() { in_ns ceph --connect-timeout 20 "$@"; }

start_ceph() {
  if [ ! -f "$CONF" ]; then
    write_ceph_conf
    local fsid
    fsid=$(sed -n 's/^fsid = //p' "$CONF")
    monmaptool --create --fsid "$fsid" --addv a "[v2:$STORE_ADDR:3300,v1:$STORE_ADDR:6789]" \
      "$DIR/ceph/monmap" >/dev/null
    in_ns ceph-mon -c "$CONF" --mkfs -i a --monmap "$DIR/ceph/monmap" >/dev/null
  fi
  alive "$DIR/ceph/run/mon.a.pid" || in_ns ceph-mon -c "$CONF" -i a
  wait_for 60 ceph_cmd mon stat
  if [ ! -d "$DIR/ceph/mgr/mgr.x" ]; then mkdir -p "$DIR/ceph/mgr/mgr.x"; fi
  alive "$DIR/ceph/run/mgr.x.pid" || in_ns ceph-mgr -c "$CONF" -i x
  if [ ! -f "$DIR/ceph/osd/osd.0.made" ]; then
    local uuid id
    uuid=$(uuidgen)
    id=$(ceph_cmd osd new "$uuid")
    [ "$id" = 0 ] || { echo "shared-store: expected OSD 0, got $id" >&2; return 1; }
    mkdir -p "$DIR/ceph/osd/osd.0"
    in_ns ceph-osd -c "$CONF" -i 0 --mkfs --osd-uuid "$uuid" >"$DIR/ceph/log/osd-mkfs.log" 2>&1 ||
      { tail -n5 "$DIR/ceph/log/osd-mkfs.log" >&2; return 1; }
    touch "$DIR/ceph/osd/osd.0.made"
  fi
  alive "$DIR/ceph/run/osd.0.pid" || in_ns ceph-osd -c "$CONF" -i 0 2>>"$DIR/ceph/log/osd-start.log"
  if ! ceph_cmd osd pool ls | grep -qx "$POOL"; then
    ceph_cmd osd pool create "$POOL" 8 8 >/dev/null 2>&1
    ceph_cmd osd pool set "$POOL" size 1 --yes-i-really-mean-it >/dev/null 2>&1
    ceph_cmd osd pool application enable "$POOL" brevanto >/dev/null 2>&1
  fi
  echo probe >"$DIR/ceph/probe"
  wait_for 180 in_ns rados -c "$CONF" -p "$POOL" put shared-store-probe "$DIR/ceph/probe"
}

rss_of() {  # name pidfile
  if alive "$2"; then
    printf '%s %s MiB' "$1" $(($(ps -o rss= -p "$(cat "$2")") / 1024))
  fi
}

report() {
  local pg_rss=0 pid
  if pg_running; then
    # The postmaster and its workers; shared memory counts in each.
    for pid in $(pgrep -s "$(ps -o sid= -p "$(head -n1 "$(pg_pidfile)")" | tr -d ' ')" || true); do
      pg_rss=$((pg_rss + $(ps -o rss= -p "$pid" 2>/dev/null || echo 0)))
    done
  fi
  cat <<EOF
namespace:   $NS (run clients with: ip netns exec $NS ...)
postgresql:  postgresql://brevanto@$STORE_ADDR:$PG_PORT/brevanto (inside the namespace and from hosts on its bridge)
             host=$DIR/pg port=$PG_PORT user=brevanto dbname=brevanto (the Unix socket, from anywhere)
ceph:        conf $CONF, pool $POOL, no cephx (auth none)
service:     --contents 'rados://$POOL?conf=$CONF'
state:       $DIR
memory:      postgresql $((pg_rss / 1024)) MiB (all its processes), $(rss_of ceph-mon "$DIR/ceph/run/mon.a.pid"), $(rss_of ceph-mgr "$DIR/ceph/run/mgr.x.pid"), $(rss_of ceph-osd "$DIR/ceph/run/osd.0.pid")
EOF
}

stop_pidfile() {
  local pidfile=$1 pid i
  alive "$pidfile" || return 0
  pid=$(cat "$pidfile")
  kill "$pid" 2>/dev/null || true
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.2; done
  kill -9 "$pid" 2>/dev/null || true
}

cmd_up() {
  [ "$(id -u)" -eq 0 ] || { echo "shared-store: run as root" >&2; exit 1; }
  ensure_packages
  mkdir -p "$DIR"
  chmod 0711 "$DIR"  # postgres reaches its own folder below, nothing else
  echo "$NS" >"$DIR/namespace"
  ensure_namespace
  local t
  t=$(now)
  start_postgres
  local pg_time
  pg_time=$(since "$t")
  t=$(now)
  start_ceph
  local ceph_time
  ceph_time=$(since "$t")
  echo "ready:       postgresql in $pg_time, first librados write in $ceph_time"
  report
}

cmd_down() {
  if [ -n "$PG_BIN" ] && pg_running; then
    runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$DIR/pg/data" -m fast stop >/dev/null || true
  fi
  stop_pidfile "$DIR/ceph/run/osd.0.pid"
  stop_pidfile "$DIR/ceph/run/mgr.x.pid"
  stop_pidfile "$DIR/ceph/run/mon.a.pid"
  if ip netns list | grep -qw "^$NS"; then ip netns del "$NS"; fi
  rm -rf "$DIR"
  echo "shared-store: down"
}

cmd_status() {
  local ok=0
  pg_running && pg_ready || { echo "postgresql: not running"; ok=1; }
  local d
  for d in mon.a mgr.x osd.0; do
    alive "$DIR/ceph/run/$d.pid" || { echo "ceph $d: not running"; ok=1; }
  done
  [ $ok -ne 0 ] || report
  return $ok
}

case "${1:-}" in
  up) cmd_up ;;
  demo) exec "$(dirname "$(readlink -f "$0")")/shared-store-demo.sh" ;;
  down) cmd_down ;;
  status) cmd_status || exit 1 ;;
  *) echo "usage: $0 up|down|status|demo" >&2; exit 2 ;;
esac
