#!/usr/bin/env bash
# Faults of a store shared by two services on hosts of their own (the
# setting of scripts/shared-store-demo.sh, which this shares): a service
# killed in the middle of a backup, PostgreSQL stopped for 10 s during a
# backup, the OSD stopped for 10 s during a backup, the holder of the
# collection's lease killed in the middle of a collection. After each, what was
# acknowledged before must restore byte for byte through the other host,
# and a backup made once the fault is over must complete and restore.
# Prints what each fault did to the command line (exit code, last line)
# and the times. Runs as root; not part of scripts/test.sh's default
# stages (it needs the cluster of scripts/shared-store.sh).
#
#   scripts/shared-store-faults.sh [BUILD_DIR]
#
# FAULTS="1 4" plays some of them only (numbered as printed).
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
faults=${FAULTS:-1 2 3 4}
wanted() { [[ " $faults " == *" $1 "* ]]; }
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

on_host 1 backup "$work/small" '\f1\acknowledged' >/dev/null
on_host 1 backup "$work/tree" '\f1\tree' >/dev/null
if wanted 1; then
say "1. service 1 killed in the middle of a backup"
backup_during 1 "$work/tree" '\f1\tree' kill_host_service 1
verdict "the backup acknowledged before restores through host 2" \
  restored_equal 2 '\f1\acknowledged' "$work/small"
verdict "the same backup through host 2 completes" on_host 2 backup "$work/tree" '\f1\tree'
verdict "and restores through host 2" restored_equal 2 '\f1\tree' "$work/tree"
t=$(now)
verdict "service 1 starts again" start_host_service 1
printf '   (in %s)\n' "$(since "$t")"
verdict "and restores it too" restored_equal 1 '\f1\tree' "$work/tree"
fi
if wanted 2; then

say "2. PostgreSQL stopped for 10 s during a backup through host 1"
backup_during 1 "$work/tree" '\f2\tree' outage pg_stop
verdict "the backup acknowledged before restores through host 2" \
  restored_equal 2 '\f1\acknowledged' "$work/small"
verdict "a backup afterwards through host 1 completes" on_host 1 backup "$work/tree" '\f2\tree'
verdict "and restores through host 2" restored_equal 2 '\f2\tree' "$work/tree"
fi
if wanted 3; then

say "3. the OSD stopped for 10 s during a backup through host 2"
backup_during 2 "$work/tree" '\f3\tree' outage osd_stop
verdict "the backup acknowledged before restores through host 1" \
  restored_equal 1 '\f1\tree' "$work/tree"
verdict "a backup afterwards through host 2 completes" on_host 2 backup "$work/tree" '\f3\tree'
verdict "and restores through host 1" restored_equal 1 '\f3\tree' "$work/tree"
verdict "check --read-data through host 1" on_host 1 check --read-data '\f3\tree'
verdict "check --read-data through host 2" on_host 2 check --read-data '\f1\tree'
fi

if wanted 4; then
say "4. the holder of the collection's lease killed in the middle of a collection"
# Each backup's end starts a collection, which takes the lease and renews
# it at each step. A transaction of ours locks the lease row (FOR SHARE)
# as soon as it sees it, for 8 s: the renewal waits, the collection is
# held in the middle, and the holder is killed there.
db=(ip netns exec "$store_ns" runuser -u postgres -- psql -h 127.0.0.1 -U brevanto -d "$catalog_db" -qtA)
lease() { "${db[@]}" -c "SELECT holder || ' until ' || to_char(expires, 'HH24:MI:SS') FROM leases WHERE name = 'collection'"; }
# catch_collection HOST PID: backups through HOST until its collection is seen
# held by our lock, by the service of that pid; $holder then names the lease's holder, $backup the
# backup still waiting, $hold our locking session.
catch_collection() {
  "${db[@]}" -c "SET application_name TO 'brevanto-hold'; DO \$\$ DECLARE deadline timestamptz := clock_timestamp() + interval '60 s';
    BEGIN LOOP
      PERFORM 1 FROM leases WHERE name = 'collection' AND holder LIKE '%:$2:%' FOR SHARE;
      IF FOUND THEN PERFORM pg_sleep(8); RETURN; END IF;
      IF clock_timestamp() > deadline THEN RAISE EXCEPTION 'no collection seen'; END IF;
    END LOOP; END \$\$" >"$work/hold.out" 2>&1 &
  hold=$!
  holder=
  # The session's end waits for the collection: look while the backup runs.
  for round in $(seq 20); do
    echo "$1 $round" >"$work/small/round.txt"
    on_host "$1" backup "$work/small" '\f4\small' >/dev/null 2>&1 &
    backup=$!
    while kill -0 "$backup" 2>/dev/null; do
      holder=$("${db[@]}" -c "SELECT holder FROM leases WHERE name = 'collection' AND holder LIKE '%:$2:%'")
      [ -n "$holder" ] && break 2
      sleep 0.05
    done
  done
  printf '   the lease seen held in a collection after %s backup(s) through host %s: %s\n' \
    "$round" "$1" "${holder:-(none)}"
}
# Ends our locking session, whether it holds the lock or still looks.
release_hold() {
  "${db[@]}" -c "SELECT pg_cancel_backend(pid) FROM pg_stat_activity
    WHERE application_name = 'brevanto-hold'" >/dev/null
  wait "$hold" || true
}
pid1=$(cat "$work/host1/pid")
catch_collection 1 "$pid1"
verdict "it is service 1's (pid $pid1)" grep -q ":$pid1:" <<<"$holder"
kill_host_service 1
release_hold
wait "$backup" || true
# The dead service's last statement (a renewal or the release that waited
# for our lock) still runs on the server: the lease is then either its own
# until it expires, or given up.
printf '   service 1 killed; the lease: %s\n' "$(lease)"
t=$(now)
until [ "$("${db[@]}" -c "SELECT COUNT(*) FROM leases WHERE expires >= now()")" = 0 ]; do sleep 1; done
printf '   no live lease after %s more\n' "$(since "$t")"
pid2=$(cat "$work/host2/pid")
catch_collection 2 "$pid2"
verdict "the lease moved to service 2 (pid $pid2)" grep -q ":$pid2:" <<<"$holder"
release_hold
wait "$backup" || true
printf '   after service 2'"'"'s collection: %s\n' "$(lease)"
verdict "everything restores through host 2" restored_equal 2 '\f4\small' "$work/small"
fi
[ "$failures" -eq 0 ]
