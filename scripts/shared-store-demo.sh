#!/usr/bin/env bash
# Two services on two hosts of their own sharing one store: the PostgreSQL
# catalog and the Ceph pool of scripts/shared-store.sh (started when not
# running, after the packages are installed and the service built),
# contents encrypted at rest with one key file copied to both.
#
#   scripts/shared-store-demo.sh [BUILD_DIR]
#
# Each host is a network namespace plugged into the store's bridge, with
# its own storage root (accounts, local state) and its own service on
# 127.0.0.1:11001. A small tree is backed up through host 1, listed and
# restored through host 2 and compared; a change backed up through host 2
# is restored through host 1; `check --read-data` runs on both. It prints
# each step with its time. Runs as root; leaves nothing behind (its
# database, its objects and its namespaces go at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build}")
work=$(mktemp -d /var/tmp/brevanto-demo.XXXXXX)
# shellcheck source=scripts/lib/shared-hosts.sh
source scripts/lib/shared-hosts.sh
# shellcheck source=scripts/lib/bench-trees.sh
source scripts/lib/bench-trees.sh
finish() {
  cleanup_hosts
  rm -rf "$work"
}
trap finish EXIT

step() { # title command...
  local title=$1 t
  shift
  t=$(now)
  "$@"
  printf '   %-76s %s\n' "$title" "$(since "$t")"
}

t0=$(now)
step "packages, the store up (scripts/shared-store.sh up), the build" prepare_store
say "store: catalog $catalog_db on $store_addr, contents $contents"
step "two hosts: namespaces, roots, the account on each" setup_hosts
step "service 1 on host 1 ($(host_addr 1))" start_host_service 1
step "service 2 on host 2 ($(host_addr 2))" start_host_service 2

# 200 small files (kept in the catalog) and 3 of 1 MiB (in the pool).
make_tree "$work/tree" 200 100 8000 3 1048576 17 
remote='\backup\demo'
step "backup of 200 small files and 3 of 1 MiB through host 1" \
  on_host 1 backup "$work/tree" "$remote"
say "snapshots through host 2:"
on_host 2 snapshots "$remote"
step "restore through host 2" on_host 2 restore "$remote" "$work/out2"
step "diff -r of the tree and host 2's restore" diff -r "$work/tree" "$work/out2"

echo "changed by host 2" >"$work/tree/d000/f00000.dat"
seeded_bytes 2097152 changed >"$work/tree/big4.bin"
rm "$work/tree/d001/f00100.dat"
step "a change (one changed, one new 2 MiB, one removed) backed up through host 2" \
  on_host 2 backup --delete "$work/tree" "$remote"
step "restore through host 1" on_host 1 restore "$remote" "$work/out1"
step "diff -r of the changed tree and host 1's restore" diff -r "$work/tree" "$work/out1"
step "check --read-data through host 1" on_host 1 check --read-data "$remote"
step "check --read-data through host 2" on_host 2 check --read-data "$remote"
keys=$(psql_store "$catalog_db" "SELECT COUNT(*) FROM account_keys")
objects=$(ip netns exec "$store_ns" rados -c "$store_conf" -p brevanto -N "$run_id" ls | wc -l)
piece=$(ip netns exec "$store_ns" rados -c "$store_conf" -p brevanto -N "$run_id" ls | grep -m1 '\.')
ip netns exec "$store_ns" rados -c "$store_conf" -p brevanto -N "$run_id" get "$piece" "$work/piece"
say "account keys in the catalog: $keys; objects in the pool: $objects; $piece begins" \
  "with '$(head -c 7 "$work/piece")' (sealed), not with the file's bytes"
say "done in $(since "$t0")"
