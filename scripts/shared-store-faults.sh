#!/usr/bin/env bash
# Faults of a store shared by two services on hosts of their own (the
# setting of scripts/shared-store-demo.sh, which this shares): a service
# killed in the middle of a backup, PostgreSQL stopped for 10 s during a
# backup, the OSD stopped for 10 s during a backup. After each, what was
# acknowledged before must restore byte for byte through the other host,
# and a backup made once the fault is over must complete and restore.
# Prints what each fault did to the command line (exit code, last line)
# and the times. Runs as root; not part of scripts/test.sh's default
# stages (it needs the cluster of scripts/shared-store.sh).
#
#   scripts/shared-store-faults.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build}")
work=$(mktemp -d /var/tmp/brevanto-faults.XXXXXX)
# shellcheck source=scripts/lib/bench-trees.sh
source scripts/lib/bench-trees.sh
# shellcheck source=scripts/lib/shared-hosts.sh
source scripts/lib/shared-hosts.sh
pg_bin=$(find /usr/lib/postgresql -mindepth 2 -maxdepth 2 -name bin | sort -V | tail -n1)
failures=0
finish() {
  # The store's daemons may be stopped by a fault: bring them back.
  scripts/shared-store.sh up >/dev/null 2>&1 || true
  cleanup_hosts
  rm -rf "$work"
  [ "$failures" -eq 0 ] && echo "== all faults passed" || echo "== $failures check(s) FAILED"
}
trap finish EXIT

verdict() { # title command...: runs a check, counts a failure
  local title=$1
  shift
  if "$@" >"$work/verdict.out" 2>&1; then
    printf '   ok    %s\n' "$title"
  else
    printf '   FAIL  %s\n' "$title"
    tail -n 5 "$work/verdict.out" | sed 's/^/         /'
    failures=$((failures + 1))
  fi
}

# restored_equal HOST REMOTE TREE: restores REMOTE through HOST and compares.
restored_equal() {
  rm -rf "$work/restored"
  on_host "$1" restore "$2" "$work/restored" >/dev/null && diff -r "$3" "$work/restored"
}

# backup_during HOST TREE REMOTE FAULT...: a backup in the background, the
# fault after 1 s; waits for the backup and prints how it ended.
backup_during() {
  local host=$1 tree=$2 remote=$3 t rc=0
  shift 3
  t=$(now)
  on_host "$host" backup "$tree" "$remote" >"$work/backup.out" 2>&1 &
  local pid=$!
  sleep 1
  "$@"
  wait "$pid" || rc=$?
  printf '   the backup through host %s ended after %s with exit code %s:\n' "$host" "$(since "$t")" "$rc"
  tail -n 2 "$work/backup.out" | sed 's/^/         /'
}

pg_stop() { runuser -u postgres -- "$pg_bin/pg_ctl" -D "$store_dir/pg/data" -m fast stop >/dev/null; }
osd_stop() { kill "$(cat "$store_dir/ceph/run/osd.0.pid")"; }
store_up() { scripts/shared-store.sh up >/dev/null; }
# Stops with $1, brings the store back 10 s later.
outage() {
  "$1"
  local t
  t=$(now)
  sleep 10
  store_up
  printf '   %s: back after %s\n' "$1" "$(since "$t")"
}

prepare_store
setup_hosts
start_host_service 1
start_host_service 2
# A tree that takes some seconds to send: 500 small files, 40 of 1 MiB.
make_tree "$work/tree" 500 100 8000 40 1048576 23
make_tree "$work/small" 100 100 4000 2 200000 24

say "1. service 1 killed in the middle of a backup"
on_host 1 backup "$work/small" '\f1\acknowledged' >/dev/null
backup_during 1 "$work/tree" '\f1\tree' kill_host_service 1
verdict "the backup acknowledged before restores through host 2" \
  restored_equal 2 '\f1\acknowledged' "$work/small"
verdict "the same backup through host 2 completes" on_host 2 backup "$work/tree" '\f1\tree'
verdict "and restores through host 2" restored_equal 2 '\f1\tree' "$work/tree"
t=$(now)
verdict "service 1 starts again" start_host_service 1
printf '   (in %s)\n' "$(since "$t")"
verdict "and restores it too" restored_equal 1 '\f1\tree' "$work/tree"

say "2. PostgreSQL stopped for 10 s during a backup through host 1"
backup_during 1 "$work/tree" '\f2\tree' outage pg_stop
verdict "the backup acknowledged before restores through host 2" \
  restored_equal 2 '\f1\acknowledged' "$work/small"
verdict "a backup afterwards through host 1 completes" on_host 1 backup "$work/tree" '\f2\tree'
verdict "and restores through host 2" restored_equal 2 '\f2\tree' "$work/tree"

say "3. the OSD stopped for 10 s during a backup through host 2"
backup_during 2 "$work/tree" '\f3\tree' outage osd_stop
verdict "the backup acknowledged before restores through host 1" \
  restored_equal 1 '\f1\tree' "$work/tree"
verdict "a backup afterwards through host 2 completes" on_host 2 backup "$work/tree" '\f3\tree'
verdict "and restores through host 1" restored_equal 1 '\f3\tree' "$work/tree"
verdict "check --read-data through host 1" on_host 1 check --read-data '\f3\tree'
verdict "check --read-data through host 2" on_host 2 check --read-data '\f2\tree'
[ "$failures" -eq 0 ]
