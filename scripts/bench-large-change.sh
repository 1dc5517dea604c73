#!/usr/bin/env bash
# A large file changed a little: what the next backup costs, in time and in
# store, with brevanto and with restic.
#
#   scripts/bench-large-change.sh [rounds] [MiB]   (default 3 rounds of a 400 MiB file)
#
# Each round, into an empty store and an empty restic repository: a first
# backup of one file of seeded bytes; a backup after 1 MiB is appended to
# it; a backup after 1 MiB in its middle is overwritten. Prints a row per
# step in the bench format, `name: ours X, peer Y, ratio Z` (medians in
# seconds), and how much each store grew for each change (MiB).
# BUILD_DIR (default build) is where brevanto-service and brevanto are
# built. The service serves on 127.0.0.1:11001.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-3}
size_mib=${2:-400}
scripts/deps.sh restic openssl

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-large.XXXXXX")
service_pid=""
# shellcheck source=lib/bench-trees.sh
. scripts/lib/bench-trees.sh
build_bench_binaries
trap 'stop_service; rm -rf "$work"' EXIT

export BREVANTO_USER=bench BREVANTO_PASSWORD=bench-password
export RESTIC_PASSWORD=bench RESTIC_CACHE_DIR="$work/restic-cache"
seeded_bytes $((size_mib << 20)) large >"$work/base.bin"
seeded_bytes $((1 << 20)) appended >"$work/append.bin"
seeded_bytes $((1 << 20)) changed >"$work/change.bin"

seconds() { # command...: runs it, prints its wall time
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>"$work/last.err" || { cat "$work/last.err" >&2; return 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", e - s }'
}
kib() { du -sk "$1" | cut -f1; }

steps=("first backup" "backup after 1 MiB appended" "backup after 1 MiB in the middle changed")
for round in $(seq 1 "$rounds"); do
  echo "== round $round of $rounds"
  stop_service
  start_service "$work/storage"
  rm -rf "$work/src" "$work/repo"
  mkdir -p "$work/src"
  cp "$work/base.bin" "$work/src/large.bin"
  restic -q init --repo "$work/repo" >/dev/null
  sync
  for i in 0 1 2; do
    case $i in
      1) cat "$work/append.bin" >>"$work/src/large.bin" ;;
      2) dd if="$work/change.bin" of="$work/src/large.bin" bs=1M seek=$((size_mib / 2)) \
           conv=notrunc status=none ;;
    esac
    ours_before=$(kib "$work/storage/store")
    restic_before=$(kib "$work/repo")
    seconds "$cli_bin" -q backup "$work/src" '\large' >>"$work/ours-$i"
    seconds restic -q --repo "$work/repo" backup "$work/src" >>"$work/restic-$i"
    echo "$(( ($(kib "$work/storage/store") - ours_before) / 1024 ))" >>"$work/ours-grew-$i"
    echo "$(( ($(kib "$work/repo") - restic_before) / 1024 ))" >>"$work/restic-grew-$i"
  done
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "== results for a file of $size_mib MiB (medians of $rounds rounds; ratio = ours / peer)"
for i in 0 1 2; do
  awk -v name="large file ${steps[$i]} vs restic" -v o="$(median "$work/ours-$i")" \
    -v p="$(median "$work/restic-$i")" \
    'BEGIN { printf "%s: ours %.2f, peer %.2f, ratio %.2f\n", name, o, p, (p > 0 ? o / p : 0) }'
  echo "large file ${steps[$i]}, store grew (MiB): ours $(median "$work/ours-grew-$i")," \
    "restic $(median "$work/restic-grew-$i")"
done
