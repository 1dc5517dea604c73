#!/usr/bin/env bash
# Backup and restore with brevanto against restic, rclone copy and rsync -a.
#
#   scripts/bench-backup.sh [--small] [--huge] [rounds]   (rounds: default 3, at least 3)
#
# Generates trees with a fixed seed:
#   A: 2,000 files of 1-64 KiB and 5 files of 50 MiB (about 330 MB)
#   B: 20,000 files of 100 B-4 KiB
#   R: a real tree, the first 40,000 files and links of /usr/share
#   H (--huge only): B at 200,000 files
# (--small: 200 + 2 x 2 MiB and 1,000 files, no R, for CI). Each round
# times, for each tree, a first backup (into a store emptied for the round), a second one with nothing changed,
# one after 1% of the files changed, and a restore: ours, then every peer,
# one after the other (one interleaved run); "rsync -a + sync" is rsync
# followed by a sync, a copy as durable as ours. Prints a row per operation
# and peer in the bench format, `name: ours X, peer Y, ratio Z` (medians in
# seconds; ratio = ours / peer, below 1 means ours is faster), how much the
# store grew for a second backup of B's content from another folder, the
# peak RSS of the service, and for each tree the command line's with the
# size of its manifest.
# BUILD_DIR (default build) is where brevanto-service and brevanto are
# built; KEEP_BENCH=1 keeps the work folder; BENCH_TREES (e.g. "B R") times
# only the trees it names.
#
# The peers write without syncing; brevanto-service makes a backup durable
# when its sessions log out. The service serves on 127.0.0.1:11001, so
# nothing else may use that port meanwhile. The run keeps every copy until
# it ends: about 10 GB of free space for the full size.
set -euo pipefail
cd "$(dirname "$0")/.."

small=0
huge=0
while [ "${1:-}" = --small ] || [ "${1:-}" = --huge ]; do
  [ "$1" = --small ] && small=1
  [ "$1" = --huge ] && huge=1
  shift
done
rounds=${1:-3}
[ "$rounds" -ge 3 ] || rounds=3

scripts/deps.sh restic rclone rsync time openssl

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-bench.XXXXXX")
service_pid=""
# shellcheck source=lib/bench-trees.sh
. scripts/lib/bench-trees.sh
build_bench_binaries
cleanup() {
  stop_service
  if [ "${KEEP_BENCH:-0}" = 1 ]; then echo "(kept $work)"; else rm -rf "$work"; fi
}
trap cleanup EXIT

trees=(A B)
[ "$small" = 1 ] || trees+=(R)
[ "$huge" = 0 ] || trees+=(H)
[ -z "${BENCH_TREES:-}" ] || read -r -a trees <<<"$BENCH_TREES"
echo "== generating trees ${trees[*]} in $work"
wanted() { [[ " ${trees[*]} " == *" $1 "* ]]; }
if [ "$small" = 1 ]; then
  ! wanted A || make_tree "$work/A" 200 1024 65536 2 $((2 << 20)) 1
  ! wanted B || make_tree "$work/B" 1000 100 4096 0 0 2
else
  ! wanted A || make_tree "$work/A" 2000 1024 65536 5 $((50 << 20)) 1
  ! wanted B || make_tree "$work/B" 20000 100 4096 0 0 2
  if wanted R; then
    # A real tree, links and all: what a backup of a system folder meets.
    (cd /usr/share && find . -xdev \( -type f -o -type l \) | LC_ALL=C sort | sed -n '1,40000p') \
      >"$work/real-list"
    rsync -a --files-from="$work/real-list" /usr/share/ "$work/R/"
  fi
fi
! wanted H || make_tree "$work/H" 200000 100 4096 0 0 3
for tree in "${trees[@]}"; do
  echo "$tree: $(find "$work/$tree" -type f | wc -l) files, $(du -sh "$work/$tree" | cut -f1)"
done

# Nothing is deleted while the rounds run (the work folder goes at the end).
# On an ext4 without a journal, as CI machines often have, every new file
# skips the inodes deleted in the last minute, which makes creating files
# after a large deletion several times slower for whoever runs next; a
# minute after the deletions that came before the run, creating costs the
# same for every tool again.
if [ "$small" = 0 ]; then
  sync
  sleep 61
fi

export BREVANTO_USER=bench BREVANTO_PASSWORD=bench-password
mkdir -p "$work/out"
service_rss_kb=0

export RESTIC_PASSWORD=bench RESTIC_CACHE_DIR="$work/restic-cache"
rclone_flags=(--config /dev/null -q)
declare -A cli_rss_kb=([A]=0 [B]=0 [R]=0 [H]=0)  # per tree

# Runs the command, adds its seconds to the row's list in $work/times/NAME.
timed() { # name command...
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/last.err" || { cat "$work/last.err" >&2; return 1; }
  end=$(date +%s.%N)
  mkdir -p "$work/times"
  echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }' >>"$work/times/$name"
}

# The command line under /usr/bin/time, keeping its peak RSS for the tree.
ours() {
  /usr/bin/time -f %M -o "$work/rss" "$cli_bin" -q "$@"
  local rss
  rss=$(tail -n 1 "$work/rss")
  [ "$rss" -gt "${cli_rss_kb[$tree]}" ] && cli_rss_kb[$tree]=$rss
  return 0
}

# Appends a byte to every 100th file: 1% of the files change.
touch_one_percent() {
  find "$1" -type f -name '*.dat' | sort | awk 'NR % 100 == 1' | while read -r file; do
    printf 'x' >>"$file"
  done
}

for round in $(seq 1 "$rounds"); do
  echo "== round $round of $rounds"
  # Every round stores into an empty store, as the peers' first backups
  # write into empty repositories: a store that already holds the contents
  # would take only catalog rows.
  stop_service
  start_service "$work/storage-$round"
  for tree in "${trees[@]}"; do
    src="$work/$tree"
    remote="\\bench-$tree-$round"
    repo="$work/out/restic-$tree-$round"
    rclone_dst="$work/out/rclone-$tree-$round"
    rsync_dst="$work/out/rsync-$tree-$round"
    restic -q init --repo "$repo" >/dev/null
    for op in "first backup" "unchanged backup" "backup after 1% changed"; do
      [ "$op" = "backup after 1% changed" ] && touch_one_percent "$src"
      timed "$tree $op|ours" ours backup "$src" "$remote"
      timed "$tree $op|restic" restic -q --repo "$repo" backup "$src"
      timed "$tree $op|rclone copy" rclone "${rclone_flags[@]}" copy "$src" "$rclone_dst"
      timed "$tree $op|rsync -a" rsync -a "$src/" "$rsync_dst/"
      timed "$tree $op|rsync -a + sync" sh -c 'rsync -a "$1/" "$2/" && sync' sh "$src" \
        "$rsync_dst-synced"
    done
    timed "$tree restore|ours" ours restore "$remote" "$work/out/ours-restore-$tree-$round"
    timed "$tree restore|restic" restic -q --repo "$repo" restore latest \
      --target "$work/out/restic-restore-$tree-$round"
    timed "$tree restore|rclone copy" rclone "${rclone_flags[@]}" copy "$rclone_dst" \
      "$work/out/rclone-restore-$tree-$round"
    timed "$tree restore|rsync -a" rsync -a "$rsync_dst/" "$work/out/rsync-restore-$tree-$round/"
    timed "$tree restore|rsync -a + sync" sh -c 'rsync -a "$1/" "$2/" && sync' sh \
      "$rsync_dst" "$work/out/rsync-synced-restore-$tree-$round"
  done
  rss=$(awk '/^VmHWM:/ { print $2 }' "/proc/$service_pid/status")
  [ "$rss" -gt "$service_rss_kb" ] && service_rss_kb=$rss
done

# The content of B again, from another folder: only catalog rows are new.
if wanted B; then
  cp -a "$work/B" "$work/B-again"
  storage="$work/storage-$rounds"
  store_before=$(du -sk "$storage/store" | cut -f1)
  content_before=$(du -sk "$storage/store/content" | cut -f1)
  ours backup "$work/B-again" '\bench-B-again' >/dev/null
  store_after=$(du -sk "$storage/store" | cut -f1)
  content_after=$(du -sk "$storage/store/content" | cut -f1)
  echo "B again from another folder: store grew $((store_after - store_before)) KiB" \
    "(content files $((content_after - content_before)) KiB) for $(du -sk "$work/B" | cut -f1) KiB of files"
fi

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "== results (medians of $rounds rounds, seconds; ratio = ours / peer)"
for tree in "${trees[@]}"; do
  for op in "first backup" "unchanged backup" "backup after 1% changed" restore; do
    ours_time=$(median "$work/times/$tree $op|ours")
    for peer in restic "rclone copy" "rsync -a" "rsync -a + sync"; do
      peer_time=$(median "$work/times/$tree $op|$peer")
      awk -v name="$tree $op vs $peer" -v o="$ours_time" -v p="$peer_time" \
        'BEGIN { printf "%s: ours %.2f, peer %.2f, ratio %.2f\n", name, o, p, (p > 0 ? o / p : 0) }'
    done
  done
done
echo "peak RSS: service ${service_rss_kb} KiB"
# The command line holds the manifests (the last and the new one) besides a
# fixed amount; their size shows what its memory should grow with.
for tree in "${trees[@]}"; do
  "$cli_bin" -q get "\\bench-$tree-$rounds\\.brevanto-manifest" "$work/manifest-$tree" >/dev/null
  echo "peak RSS: command line ${cli_rss_kb[$tree]} KiB for tree $tree" \
    "($(find "$work/$tree" -type f | wc -l) files," \
    "manifest $(($(stat -c %s "$work/manifest-$tree") / 1024)) KiB)"
done
