#!/usr/bin/env bash
# Brevanto end to end: builds the reference service and the brevanto command,
# starts the service on a new storage root, backs up a generated sample tree,
# lists it, restores and verifies it into a new folder, compares both trees,
# backs up again and shows every file skipped, updates one file and shows its
# reversion go from 1 to 2, removes a local file and shows a --delete backup
# remove it from the storage, then lists the backups the service keeps, shows
# what changed since the first one, and restores that first version with
# --at: it matches the first restore.
#
#   ./demo.sh            (KEEP_DEMO=1 keeps the temporary folder;
#                         BUILD_DIR=DIR builds there instead of build/)
#
# Exits non-zero as soon as a step fails or anything differs. Needs
# 127.0.0.1:11001 free, and checks that first. While the build runs only its
# progress is shown; its output goes to BUILD_DIR/demo-build.log (shown when
# the build fails), the library's log of the run to
# BUILD_DIR/demo-logs/Brevanto.log (named at the end).
set -euo pipefail
cd "$(dirname "$0")"

step_number=0
step() {
  step_number=$((step_number + 1))
  printf '\n== %d. %s\n' "$step_number" "$*"
}
fail() {
  printf '\nDEMO FAILED: %s\n' "$*" >&2
  exit 1
}

# The service must listen on 127.0.0.1:11001, where the library connects.
scripts/check-port.sh 11001 || fail "127.0.0.1:11001 is taken"

step "Installing what is missing"
scripts/deps.sh cmake g++ make pkg-config libgtest-dev libsodium-dev libsqlite3-dev libcli11-dev \
  libssl-dev

# Reads the build's output on stdin and writes it all to $build_log, showing
# only its progress: the step counter of Ninja ("[37/107] ...") or the
# percentage of Make ("[ 35%] ..."), with the time so far. On a terminal one
# line is rewritten in place; otherwise a line every 30 s. A line also comes
# when nothing is printed for a while, so a long compile never looks hung.
show_build_progress() {
  local line partial="" progress="configuring" shown="" last=$SECONDS start=$SECONDS every=30 tty=0
  if [ -t 1 ]; then
    tty=1
    every=2
  fi
  : >"$build_log"
  echo "(the build's whole output goes to $build_log)"
  while :; do
    if IFS= read -r -t 5 line; then
      line=$partial$line
      partial=""
      printf '%s\n' "$line" >>"$build_log"
      if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
        progress="$((100 * BASH_REMATCH[1] / BASH_REMATCH[2]))% (step ${BASH_REMATCH[1]} of ${BASH_REMATCH[2]})"
      elif [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
        progress="${BASH_REMATCH[1]}%"
      fi
    elif [ $? -le 128 ]; then
      [ -z "$partial$line" ] || printf '%s\n' "$partial$line" >>"$build_log"
      break # the end of the output; more than 128 is the timeout
    else
      partial+=$line # a timeout keeps what it read of the line
    fi
    if [ $((SECONDS - last)) -ge "$every" ] && [ "$progress" != "$shown" ] ||
      [ $((SECONDS - last)) -ge 60 ]; then
      local text
      text="building: $progress, $((SECONDS - start)) s so far"
      if [ "$tty" = 1 ]; then printf '\r\033[K%s' "$text"; else printf '%s\n' "$text"; fi
      shown=$progress
      last=$SECONDS
    fi
  done
  [ "$tty" = 0 ] || printf '\r\033[K'
  printf 'the build ran for %d s\n' "$((SECONDS - start))"
}

step "Building brevanto-service and brevanto"
build=$(realpath -m "${BUILD_DIR:-build}")
build_log="$build/demo-build.log"
mkdir -p "$build"
if ! { cmake -S . -B "$build" && cmake --build "$build" -j2 --target brevanto-service brevanto-cli; } \
    2>&1 | show_build_progress; then
  tail -n 40 "$build_log" >&2
  fail "the build failed (all of its output: $build_log)"
fi
echo "built in $build (output: $build_log)"
service_bin="$build/service/brevanto-service"
cli_bin="$build/cli/brevanto"
for program in "$service_bin" "$cli_bin"; do
  [ -x "$program" ] || fail "$program was not built"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-demo.XXXXXX")
storage="$work/storage"
sample="$work/sample"
restore_root="$work/restore"
service_pid=""
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ "${KEEP_DEMO:-0}" = 1 ]; then
    echo "(kept $work)"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
mkdir -p "$storage" "$sample" "$restore_root"

# The library's log of this run, in a folder of the demo's own.
export BREVANTO_LOG_DIR="$build/demo-logs"
rm -f "$BREVANTO_LOG_DIR"/Brevanto.log*
export BREVANTO_USER=demo
export BREVANTO_PASSWORD="demo password ü"
brevanto() { "$cli_bin" "$@"; }

step "Creating a storage root with the account '$BREVANTO_USER' in $storage"
printf '%s\n' "$BREVANTO_PASSWORD" | "$service_bin" --root "$storage" --add-user "$BREVANTO_USER" \
  --allow-uid "$(id -u)"

step "Starting brevanto-service on 127.0.0.1:11001"
scripts/check-port.sh 11001 || fail "127.0.0.1:11001 was taken during the build"
# Without --local-root it reaches local files wherever this user may, but
# for its storage root.
"$service_bin" --root "$storage" --port-file "$work/service.port" >"$work/service.log" 2>&1 &
service_pid=$!
# The service writes its port file once it listens.
for _ in $(seq 1 100); do
  [ -s "$work/service.port" ] && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$work/service.log" >&2; fail "the service stopped"; }
  sleep 0.1
done
[ -s "$work/service.port" ] || { cat "$work/service.log" >&2; fail "the service does not listen"; }
echo "service running (pid $service_pid)"

step "Generating a sample tree in $sample"
top_dirs=("docs" "Fotos Größe" "日本語" "ñandú" "Ελληνικά" "émoji 😀")
for top in "${top_dirs[@]}"; do
  for sub in 1 2 3 4 5; do
    dir="$sample/$top/Ünter $sub"
    mkdir -p "$dir"
    for n in $(seq 1 10); do
      printf 'file %s of %s\n%s\n' "$n" "$dir" "$RANDOM$RANDOM$RANDOM" >"$dir/file $n.txt"
    done
  done
done
mkdir -p "$sample/leer" "$sample/docs/empty folder"
: >"$sample/docs/empty file.txt"
printf 'naïve café résumé\n' >"$sample/docs/Résumé.md"
head -c $((60 * 1024 * 1024)) /dev/urandom >"$sample/große Datei.bin"
file_count=$(find "$sample" -type f | wc -l)
dir_count=$(find "$sample" -mindepth 1 -type d | wc -l)
echo "$file_count files in $dir_count folders, $(du -sh "$sample" | cut -f1) in all"

step "brevanto backup $sample '\\demo'"
brevanto backup "$sample" '\demo'

step "brevanto ls -r '\\demo'"
brevanto ls -r '\demo' >"$work/listing.txt"
head -n 12 "$work/listing.txt"
echo "... $(wc -l <"$work/listing.txt") entries in all"
listed_files=$(grep -vc '\\$' "$work/listing.txt" || true)
# The listing also holds the backup's manifest.
[ "$listed_files" -eq $((file_count + 1)) ] ||
  fail "the listing shows $listed_files files, expected $((file_count + 1))"

step "brevanto restore '\\demo' $restore_root/sample --verify"
brevanto restore '\demo' "$restore_root/sample" --verify

step "Comparing the trees (diff -r)"
diff -r "$sample" "$restore_root/sample" || fail "the restored tree differs"
echo "identical"

step "brevanto backup $sample '\\demo' again: nothing changed, nothing sent"
brevanto backup "$sample" '\demo' | tee "$work/second.txt"
grep -q " 0 added, 0 updated, $file_count unchanged," "$work/second.txt" ||
  fail "the second backup did not skip every one of the $file_count files"

changed_local="$sample/Fotos Größe/Ünter 2/file 3.txt"
changed_remote='\demo\Fotos Größe\Ünter 2\file 3.txt'
reversion() { brevanto stat "$1" | awk -F': *' '/^reversion:/ { print $2 }'; }

step "brevanto stat '$changed_remote'"
brevanto stat "$changed_remote"
before=$(reversion "$changed_remote")

# The service makes one point of the logouts of one second: the change
# below comes a second after the backups, so that their point keeps the
# first version.
sleep 1
step "Changing the file and running brevanto update"
printf 'changed at %s\n' "$(date -u +%FT%TZ)" >>"$changed_local"
brevanto update "$changed_local" "$changed_remote"

step "brevanto stat '$changed_remote' again"
brevanto stat "$changed_remote"
after=$(reversion "$changed_remote")
[ "$after" = 2 ] && [ "$before" = 1 ] ||
  fail "expected the reversion to go from 1 to 2, it went from $before to $after"

gone_local="$sample/docs/Ünter 1/file 1.txt"
gone_remote='\demo\docs\Ünter 1\file 1.txt'
step "Removing $gone_local and running brevanto backup --delete"
rm "$gone_local"
brevanto backup --delete "$sample" '\demo' | tee "$work/delete.txt"
grep -q " 1 deleted," "$work/delete.txt" || fail "the backup did not delete the removed file"
brevanto exists "$gone_remote" && fail "$gone_remote is still stored"

# The service keeps every earlier version: each backup is a point of
# \.history, and the first one is still there to go back to.
step "brevanto snapshots '\\demo'"
brevanto snapshots '\demo' | tee "$work/snapshots.txt"
first_point=$(awk 'NR == 2 { print $1 }' "$work/snapshots.txt")
[ -n "$first_point" ] || fail "snapshots lists no backup of \\demo"

step "brevanto diff $first_point latest '\\demo'"
brevanto diff "$first_point" latest '\demo' | tee "$work/diff.txt"
grep -qx 'M    /Fotos Größe/Ünter 2/file 3.txt' "$work/diff.txt" &&
  grep -qx -- '-    /docs/Ünter 1/file 1.txt' "$work/diff.txt" ||
  fail "diff does not show the changed and the removed file"

step "brevanto restore --at $first_point '\\demo' $restore_root/first --verify"
brevanto restore --at "$first_point" '\demo' "$restore_root/first" --verify
diff -r "$restore_root/sample" "$restore_root/first" ||
  fail "the first version restored with --at differs from the first restore"
echo "identical to the first restore: the changed file and the removed one are back as they were"

step "Stopping the service"
kill "$service_pid"
wait "$service_pid" 2>/dev/null || true
service_pid=""

printf '\nDemo passed: %s files backed up, restored, verified and compared; the second backup\nskipped them all; one update made reversion 2; a --delete backup removed a gone file;\nrestore --at brought the first version back whole.\n' \
  "$file_count"
log_file="$BREVANTO_LOG_DIR/Brevanto.log"
if [ -f "$log_file" ]; then
  printf "The library's log of these steps (UTF-16LE, replaced by the next run): %s, %s\n" \
    "$log_file" "$(du -h "$log_file" | cut -f1)"
fi
