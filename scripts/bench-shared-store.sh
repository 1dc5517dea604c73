#!/usr/bin/env bash
# B (20,000 files of 100 B to 4 KiB, scripts/lib/bench-trees.sh) backed up
# through two services at once into the shared store (the PostgreSQL
# catalog and Ceph pool of scripts/shared-store.sh, contents encrypted),
# each service sending one half, against all of B through one service into
# the folder store of its own root (SQLite catalog): both in one run, on
# hosts of their own (scripts/lib/shared-hosts.sh). Prints one row per
# round, `name: ours X, peer Y, ratio Z` (ratio = peer / ours: above 1,
# the shared store is faster). Runs as root; needs the store up.
#
#   scripts/bench-shared-store.sh [BUILD_DIR] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build}")
rounds=${2:-1}
work=$(mktemp -d /var/tmp/brevanto-bench-shared.XXXXXX)
# shellcheck source=scripts/lib/bench-trees.sh
source scripts/lib/bench-trees.sh
# shellcheck source=scripts/lib/shared-hosts.sh
source scripts/lib/shared-hosts.sh
finish() {
  stop_host_service 3
  drop_host 3
  cleanup_hosts
  rm -rf "$work"
}
trap finish EXIT

prepare_store
setup_hosts
make_host 3
start_host_service 1
start_host_service 2
# Host 3: the same service on its own root, folder store and SQLite.
ip netns exec "$(host_ns 3)" "$service_bin" --root "$work/host3/root" \
  --port-file "$work/host3/port" 2>>"$work/host3/log" &
echo $! >"$work/host3/pid"
until [ -s "$work/host3/port" ]; do sleep 0.1; done

make_tree "$work/b/half1" 10000 100 4096 0 0 2
make_tree "$work/b/half2" 10000 100 4096 0 0 3
for round in $(seq "$rounds"); do
  t=$(now)
  on_host 1 backup "$work/b/half1" "\\r$round\\half1" >"$work/out1" &
  one=$!
  on_host 2 backup "$work/b/half2" "\\r$round\\half2" >"$work/out2" &
  two=$!
  wait "$one"
  wait "$two"
  ours=$(since "$t")
  t=$(now)
  on_host 3 backup "$work/b" "\\r$round" >"$work/out3"
  peer=$(since "$t")
  awk -v o="${ours% s}" -v p="${peer% s}" -v r="$round" 'BEGIN {
    printf "B backup, 20,000 files, round %d: shared store through two services at once: ours %.1f s, " \
      "folder store through one: peer %.1f s, ratio %.2f\n", r, o, p, p / o }'
done
tail -n1 "$work/out1" "$work/out2" "$work/out3"
