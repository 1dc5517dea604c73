#!/usr/bin/env bash
# A week of use, as cli/README.md tells it ("A week of use"): a home folder
# backed up each evening at 22:00 from Monday 30 November to Monday 7
# December 2026, a change or two each day and Sunday's mistakes, then, on
# the last evening, what the week leaves to go back to. Prints a transcript
# ("$ brevanto ..." and what it printed; a failure adds "(exit N)", and
# the script then exits with 1), with the throwaway home folder shown as
# /home/ann.
#
# Builds brevanto-service and brevanto, makes the home folder in a
# temporary folder, and starts the service on an empty storage root,
# without --local-root. The clock is libfaketime's (Debian's faketime):
# each evening the service is started again, and every command run, at that
# day's date (FAKETIME "@2026-11-30 22:00:00", TZ=Europe/Berlin), and the
# files changed that day get that day's time. Serves on 127.0.0.1:11001,
# so run it in a network namespace of its own:
#
#   unshare -n bash -c 'ip link set lo up && scripts/week-of-use.sh'
#
# BUILD_DIR=DIR builds there instead of build/; KEEP=1 keeps the temporary
# folder. The build's output goes to BUILD_DIR/week-of-use-build.log.
# shellcheck disable=SC2317 # cleanup runs from the trap, brevanto from show's eval
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check-port.sh 11001

faketime_lib=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1
[ -r "$faketime_lib" ] || scripts/deps.sh faketime >&2
build=$(realpath -m "${BUILD_DIR:-build}")
mkdir -p "$build"
build_log="$build/week-of-use-build.log"
if ! { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; } \
  >"$build_log" 2>&1 ||
  ! cmake --build "$build" -j2 --target brevanto-service brevanto-cli >>"$build_log" 2>&1; then
  tail -n 30 "$build_log" >&2
  exit 1
fi
service_bin="$build/service/brevanto-service"
cli_bin="$build/cli/brevanto"

work=$(mktemp -d "${TMPDIR:-/tmp}/brevanto-week.XXXXXX")
home="$work/ann"
storage="$work/storage"
service_pid=""
# shellcheck source=scripts/lib/bench-trees.sh
. scripts/lib/bench-trees.sh
cleanup() {
  stop_service
  if [ "${KEEP:-0}" = 1 ]; then echo "(kept $work)" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

export HOME="$home" TZ=Europe/Berlin BREVANTO_USER=ann BREVANTO_PASSWORD="ann's password"
unset XDG_STATE_HOME BREVANTO_LOG_DIR
# The wall clock is faked; the monotonic clock (waits, rates) and the times
# of files stay real.
export FAKETIME_DONT_FAKE_MONOTONIC=1 NO_FAKE_STAT=1
brevanto() { LD_PRELOAD=$faketime_lib "$cli_bin" "$@"; }

# evening "DATE TIME": the service started again at that time, and every
# command after it run at that time too.
evening() {
  stop_service
  export FAKETIME="@$1"
  rm -f "$work/port"
  LD_PRELOAD=$faketime_lib "$service_bin" --root "$storage" --port-file "$work/port" \
    >>"$work/service.log" 2>&1 &
  service_pid=$!
  local _
  for _ in $(seq 1 100); do
    [ -s "$work/port" ] && return 0
    sleep 0.05
  done
  cat "$work/service.log" >&2
  exit 1
}

# changed_at "DATE TIME": what changed in the home folder since the last
# call gets that time (the log folder aside: the command line writes it).
mkdir -p "$home/.local/state/brevanto/Logs"
touch "$work/mark"
changed_at() {
  find "$home" -path "$home/.local/state/brevanto/Logs" -prune -o -newer "$work/mark" -print0 |
    xargs -0r touch -h -d "$1"
  touch "$work/mark"
}

# show 'COMMAND' [COMMENT]: the line as typed (~ is the home folder), then
# what it printed, stdout and stderr as they came.
show() {
  printf '$ %s%s\n' "$1" "${2:+   # $2}"
  local code=0
  eval "$1" >"$work/out" 2>&1 || code=$?
  sed "s|$home|/home/ann|g" "$work/out"
  [ "$code" = 0 ] || { echo "(exit $code)"; failed=1; }
}
failed=0

# The storage root and ann's account on it.
mkdir -p "$storage"
printf '%s\n' "$BREVANTO_PASSWORD" |
  "$service_bin" --root "$storage" --add-user ann --allow-uid "$(id -u)" >"$work/service.log" 2>&1

# The home folder: papers with a draft and figures, notes (one of them
# named with a backslash), photos, one of them also the papers' cover.
mkdir -p "$home/papers/figures" "$home/notes" "$home/photos/2026"
printf 'draft v1\n' >"$home/papers/draft.odt"
printf 'notes\n' >"$home/papers/notes.md"
seeded_bytes 31000 plot1 >"$home/papers/figures/plot1.png"
printf 'milk\nbread\n' >"$home/notes/shopping.txt"
printf 'call the printer\n' >"$home/notes/todo\\done.txt"
printf 'alias ll="ls -l"\n' >"$home/.bashrc"
for i in $(seq -w 1 60); do
  seeded_bytes $((150000 + 1000 * 10#$i)) "photo-$i" >"$home/photos/2026/img_00$i.jpg"
done
ln "$home/photos/2026/img_0001.jpg" "$home/papers/figures/cover.jpg"
chmod 0600 "$home/notes/todo\\done.txt"
find "$home" -path "$home/.local/state/brevanto/Logs" -prune -o -print0 |
  xargs -0 touch -h -d "2026-11-28 16:00:00"
touch -d "2026-11-30 21:59:00" "$home/papers/draft.odt" "$home/papers/notes.md"

echo '## Monday 30 November, 22:00'
evening "2026-11-30 22:00:00"
show "brevanto backup ~ '\\home'" "Monday 30 November: the first backup"

echo '## Tuesday to Monday, 22:00'
# day DATE WHAT: the evening's backup, once the day's changes have its time.
day() {
  changed_at "$1 21:40:00"
  evening "$1 22:00:00"
  show "brevanto backup --delete ~ '\\home'" "$(LC_ALL=C date -d "$1" '+%A %-d %B'): $2"
}
printf 'ring the printer at 9\n' >"$home/tmp-notes.txt"
day 2026-12-01 "tmp-notes.txt written"
seeded_bytes 40000 plot2 >"$home/papers/figures/plot2.png"
chmod 0600 "$home/papers/notes.md"
day 2026-12-02 "plot2.png made, notes.md made private"
printf 'draft v2, with the results\n' >"$home/papers/draft.odt"
rm "$home/tmp-notes.txt"
day 2026-12-03 "the draft's second version, tmp-notes.txt deleted"
seeded_bytes 161000 photo-61 >"$home/photos/2026/img_0061.jpg"
day 2026-12-04 "a photo"
printf 'soup: leeks, potatoes\n' >"$home/notes/recipes.txt"
day 2026-12-05 "a recipe"
# Sunday's mistakes: the draft saved over with a wrong version, a figure
# deleted.
printf 'x\n' >"$home/papers/draft.odt"
rm "$home/papers/figures/plot1.png"
day 2026-12-06 "the draft saved over, plot1.png deleted"
printf 'milk\nbread\neggs\n' >"$home/notes/shopping.txt"
day 2026-12-07 "the shopping list"

echo '## Monday 7 December, 22:30'
evening "2026-12-07 22:30:00"
show "brevanto snapshots '\\home'"
show "brevanto diff 2026-12-01 2026-12-03 '\\home'"
show "brevanto diff --local ~ '\\home'"
show "brevanto ls -l --at 2026-12-05 '\\home\\papers'"
show "brevanto restore --at 2026-12-05 --verify '\\home\\papers' ~/papers-saturday"
show "brevanto restore --at 1w '\\home\\papers\\draft.odt' ~/restored"
show "cat ~/restored/draft.odt"
show "brevanto check '\\home'"
show "brevanto find 'tmp-*' '\\home'"
show "brevanto ls '\\home\\notes'"
show "brevanto ls --stored '\\home\\notes'"
exit "$failed"
