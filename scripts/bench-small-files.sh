#!/usr/bin/env bash
# A first backup of many small files, timed for two builds of the service
# and the command line, in turn, each round against a freshly started
# service on an empty storage root.
#
#   scripts/bench-small-files.sh BUILD_A BUILD_B [rounds] [files]
#
# BUILD_A and BUILD_B are build folders holding service/brevanto-service and
# cli/brevanto (the same folder twice times one build against itself).
# Rounds default to 3, files to 20,000 of 100 B-4 KiB in folders of 100.
# Prints, per build, the median wall time of the backup, the service's CPU
# time (user + system) and what it wrote to files (bytes and write calls,
# from /proc/PID/io), per file. Serves on 127.0.0.1:11001:
# run it in a network namespace of its own:
#   unshare -n bash -c 'ip link set lo up && scripts/bench-small-files.sh A B'
# STRACE=1 also counts the service's system calls per file (strace -c -f,
# one extra round per build, not timed). SERVICE_ARGS_A and SERVICE_ARGS_B
# add options to each build's service (e.g. "--catalog CONNINFO", to time
# the same build with two catalogs); SETUP_A and SETUP_B are commands run
# before each of that build's rounds (e.g. emptying that database).
set -euo pipefail
build_a=$(realpath "$1")
build_b=$(realpath "$2")
rounds=${3:-3}
files=${4:-20000}
SERVICE_ARGS_A=${SERVICE_ARGS_A:-} SERVICE_ARGS_B=${SERVICE_ARGS_B:-}
SETUP_A=${SETUP_A:-} SETUP_B=${SETUP_B:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-small.XXXXXX")
service_pid=""
# shellcheck source=lib/bench-trees.sh
. "$(dirname "$0")/lib/bench-trees.sh"
cleanup() {
  stop_service
  rm -rf "$work"
}
trap cleanup EXIT

make_tree "$work/src" "$files" 100 4096 0 0 2
sync

export BREVANTO_USER=bench BREVANTO_PASSWORD=bench-password BREVANTO_LOG_DIR="$work/logs"

# One backup against a fresh service of BUILD; appends "wall cpu" to FILE.
# With a third argument, the service runs under strace -c into that file.
one_round() { # build file [strace-output]
  local build=$1 out=$2 trace=${3:-}
  local setup=$SETUP_A
  service_extra=$SERVICE_ARGS_A
  case $out in "$work"/b*) setup=$SETUP_B service_extra=$SERVICE_ARGS_B ;; esac
  [ -z "$setup" ] || bash -c "$setup"
  rm -rf "$work/state"
  service_bin=$build/service/brevanto-service
  local wrapper=()
  [ -n "$trace" ] && wrapper=(strace -c -f -o "$trace")
  start_service "$work/storage" "${wrapper[@]}" || exit 1
  local pid=$service_pid
  [ -n "$trace" ] && pid=$(pgrep -P "$service_pid" -f brevanto-service | head -1)
  local start end
  start=$(date +%s.%N)
  XDG_STATE_HOME="$work/state" "$build/cli/brevanto" -q backup "$work/src" '\bench' >/dev/null
  end=$(date +%s.%N)
  # utime and stime, fields 14 and 15, in clock ticks; the name in field 2
  # holds no space here.
  local ticks written
  ticks=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  # Bytes and calls of write(2) and its kin (the catalog's log, its
  # checkpoints and temp files, the content store; not the socket).
  written=$(awk '$1 == "wchar:" { b = $2 } $1 == "syscw:" { c = $2 } END { print b, c }' \
    "/proc/$pid/io")
  # The service itself: strace, stopped, would leave it running.
  kill "$pid"
  wait "$service_pid" || true
  service_pid=""
  echo "$start $end $ticks $(getconf CLK_TCK) $written" |
    awk '{ printf "%.3f %.3f %d %d\n", $2 - $1, $3 / $4, $5, $6 }' >>"$out"
}

for round in $(seq 1 "$rounds"); do
  one_round "$build_a" "$work/a"
  one_round "$build_b" "$work/b"
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
report() { # name file
  local wall cpu bytes calls
  wall=$(cut -d' ' -f1 "$2" | median)
  cpu=$(cut -d' ' -f2 "$2" | median)
  bytes=$(cut -d' ' -f3 "$2" | median)
  calls=$(cut -d' ' -f4 "$2" | median)
  echo "$1: backup of $files files: wall $wall s ($(awk -v w="$wall" -v n="$files" \
    'BEGIN { printf "%.1f", w * 1e6 / n }') us/file), service CPU $cpu s ($(awk -v c="$cpu" \
    -v n="$files" 'BEGIN { printf "%.1f", c * 1e6 / n }') us/file), written $(awk -v b="$bytes" \
    -v c="$calls" -v n="$files" 'BEGIN { printf "%.0f bytes in %.1f calls", b / n, c / n }') per file"
  echo "  rounds (wall, CPU, bytes, calls): $(tr '\n' ' ' <"$2")"
}
report "A $build_a" "$work/a"
report "B $build_b" "$work/b"

if [ "${STRACE:-0}" = 1 ]; then
  for side in a b; do
    build=$build_a
    [ "$side" = b ] && build=$build_b
    one_round "$build" "$work/$side-traced" "$work/$side-strace"
    echo "== $side: system calls of the service per file"
    awk -v n="$files" '$NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ {
        printf "%-16s %8.2f\n", $NF, $4 / n }' "$work/$side-strace" | sort -k2 -nr | head -20
  done
fi
