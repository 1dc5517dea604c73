#!/usr/bin/env bash
# Builds hosts from the installed package with the commands README.md gives a
# host's developer, and runs them against the reference service:
#
#   1. installs the library from each build (cmake --install) into a stage;
#   2. builds examples/host with CMake (find_package, CMAKE_PREFIX_PATH) and
#      with pkg-config; for Windows the MinGW-w64 toolchain file, -municode
#      and -static, and checks that no host needs a MinGW runtime DLL;
#      For Windows the hosts use the toolchain file installed with the
#      package (lib/cmake/Brevanto), not the source tree's;
#   3. builds README.md's host (the blocks marked <!-- host: FILE -->) with
#      -Wall -Wextra -Wpedantic -Werror; for Windows its build must copy
#      Brevanto.dll and Quorvel.dll beside host.exe;
#   4. runs each example host (natively, or under Wine) against
#      brevanto-service on 127.0.0.1:11001, logging in with a non-ASCII
#      password: an upload with a progress callback, then a listing; and a
#      login with a wrong password, which must say why it failed;
#   5. runs README.md's host as it stands (account ann, password secret):
#      it must start (its DLLs found), log in, be refused its upload of a
#      path outside the service's local roots, and list.
#
# Usage: scripts/test-host.sh [TARGET...]
#   TARGET  native, x64 or x86; default all three
#
# Environment:
#   NATIVE_BUILD   native build folder with brevanto-service (default build)
#   WINDOWS_BUILD  x64 build folder (default build-windows); the x86 build is
#                  WINDOWS_BUILD-x86. A missing build is configured as
#                  scripts/test.sh and scripts/test-windows.sh do; only the
#                  installed targets are built here.
#   WINEPREFIX     Wine prefix (default WINDOWS_BUILD/wineprefix)
#   JOBS           parallel build jobs (default 2)
#
# Work files, hosts and logs go to NATIVE_BUILD/host-test (wiped first).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native x64 x86)
for target in "${targets[@]}"; do
  case $target in native | x64 | x86) ;; *)
    echo "test-host: unknown target $target (native, x64 or x86)" >&2
    exit 2
    ;;
  esac
done
wants() { [[ " ${targets[*]} " == *" $1 "* ]]; }

native_build=$(realpath -m "${NATIVE_BUILD:-build}")
windows_build=$(realpath -m "${WINDOWS_BUILD:-build-windows}")
jobs=${JOBS:-2}
work=$native_build/host-test
t_start=$SECONDS

scripts/deps.sh cmake g++ make pkg-config libsodium-dev libsqlite3-dev libcli11-dev libssl-dev
if wants x64 || wants x86; then
  scripts/deps.sh g++-mingw-w64-x86-64-posix wine64
fi
if wants x86; then
  scripts/deps-x86.sh
fi
scripts/check-port.sh 11001

fail() {
  printf 'test-host: FAILED: %s\n' "$*" >&2
  exit 1
}

# Runs a command quietly; on failure shows its output and stops.
quietly() {
  local log=$work/last-command.log
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    fail "$*"
  fi
}

rm -rf "$work"
mkdir -p "$work"

# --- The builds to install from ----------------------------------------------
build_dir() {
  case $1 in
    native) echo "$native_build" ;;
    x64) echo "$windows_build" ;;
    x86) echo "$windows_build-x86" ;;
  esac
}
toolchain() {
  case $1 in
    x64) echo "$repo/cmake/mingw-w64-x86_64.cmake" ;;
    x86) echo "$repo/cmake/mingw-w64-i686.cmake" ;;
  esac
}
triplet() {
  case $1 in
    x64) echo x86_64-w64-mingw32 ;;
    x86) echo i686-w64-mingw32 ;;
  esac
}

for target in "${targets[@]}"; do
  build=$(build_dir "$target")
  echo "== $target: building the library in $build"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$target" = native ]; then
      quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    else
      generator=()
      command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
      quietly cmake -S . -B "$build" "${generator[@]}" \
        -DCMAKE_TOOLCHAIN_FILE:FILEPATH="$(toolchain "$target")"
    fi
  fi
  if [ "$target" = native ]; then
    quietly cmake --build "$build" -j"$jobs" --target brevanto Quorvel brevanto-service brevanto-cli
  else
    quietly cmake --build "$build" -j"$jobs" --target brevanto Quorvel
  fi
done

# --- The reference service ---------------------------------------------------
service_bin=$native_build/service/brevanto-service
[ -x "$service_bin" ] || fail "$service_bin was not built"
user=anna
password="pässword"
storage=$work/storage
local_root=$work/local/Bücher
mkdir -p "$storage" "$local_root"
printf '%s\n' "$password" | quietly "$service_bin" --root "$storage" --add-user "$user"
# README.md's host logs in as ann with the password secret.
printf 'secret\n' | quietly "$service_bin" --root "$storage" --add-user ann
"$service_bin" --root "$storage" --local-root "$work/local" --port-file "$work/service.port" \
  --log-level info >"$work/service.log" 2>&1 &
service_pid=$!
stop_service() {
  kill "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
}
trap stop_service EXIT
for _ in $(seq 1 100); do
  [ -s "$work/service.port" ] && break
  kill -0 "$service_pid" 2>/dev/null || { cat "$work/service.log" >&2; fail "the service stopped"; }
  sleep 0.1
done
[ -s "$work/service.port" ] || { cat "$work/service.log" >&2; fail "the service does not listen"; }

# Non-ASCII arguments pass through Wine and mbstowcs as UTF-8 only in a
# UTF-8 locale.
export LC_ALL=C.UTF-8
wine_prefix=${WINEPREFIX:-$windows_build/wineprefix}

# Runs a host of TARGET natively or under Wine, its output (stdout and
# stderr) to OUT with Windows line ends made LF: run_host TARGET OUT EXE ARGS...
run_host() {
  local target=$1 out=$2 status=0
  shift 2
  if [ "$target" = native ]; then
    "$@" >"$out.raw" 2>&1 || status=$?
  else
    scripts/wine-run --default-prefix "$wine_prefix" -- "$@" >"$out.raw" 2>&1 || status=$?
  fi
  tr -d '\r' <"$out.raw" >"$out"
  return "$status"
}

# The host's output must hold each LINE (whole lines): expect FILE LINE...
expect() {
  local file=$1
  shift
  for line in "$@"; do
    grep -qxF -- "$line" "$file" || {
      echo "--- $file:" >&2
      cat "$file" >&2
      fail "no line \"$line\" in $file"
    }
  done
}

no_runtime_dlls() {
  local target=$1 exe=$2 imports
  imports=$("$(triplet "$target")-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  if grep -qiE '^(libgcc|libstdc\+\+|libwinpthread)' <<<"$imports"; then
    fail "$exe needs a MinGW runtime DLL: $(tr '\n' ' ' <<<"$imports")"
  fi
}

# README.md's host: the blocks marked <!-- host: FILE -->, one file each.
readme=$work/readme-host
mkdir -p "$readme"
awk -v dir="$readme" '
  inside && /^```[ \t]*$/ { inside = 0; close(out); next }
  inside { print > out; next }
  /^<!-- host: [^ ]+ -->$/ { file = $3; next }
  file != "" && /^```/ { inside = 1; out = dir "/" file; file = ""; next }
  { file = "" }
' README.md
for file in CMakeLists.txt host.cpp; do
  [ -s "$readme/$file" ] || fail "README.md has no block marked <!-- host: $file -->"
done

size=$((3 * 1024 * 1024 + 17))
for target in "${targets[@]}"; do
  t=$SECONDS
  echo "== $target: hosts built against the installed package"
  stage=$work/$target/stage
  quietly cmake --install "$(build_dir "$target")" --prefix "$stage"
  cmake_args=(-DCMAKE_PREFIX_PATH="$stage")
  if [ "$target" != native ]; then
    installed_toolchain=$stage/lib/cmake/Brevanto/$(basename "$(toolchain "$target")")
    [ -f "$installed_toolchain" ] || fail "the package does not install $installed_toolchain"
    cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$installed_toolchain")
  fi
  exe=""
  [ "$target" = native ] || exe=.exe

  # examples/host with CMake: the host and both DLLs land in one folder.
  quietly cmake -S examples/host -B "$work/$target/cmake" "${cmake_args[@]}"
  quietly cmake --build "$work/$target/cmake"
  cmake_host=$work/$target/cmake/brevanto_example_host$exe

  # examples/host with pkg-config, as the README writes the commands.
  pc_dir=$work/$target/pkg-config
  pc_host=$pc_dir/brevanto_example_host$exe
  mkdir -p "$pc_dir"
  if [ "$target" = native ]; then
    export PKG_CONFIG_PATH=$stage/lib/pkgconfig
    # shellcheck disable=SC2046  # the flags are meant to split
    quietly g++ -std=c++17 examples/host/main.cpp -o "$pc_host" \
      $(pkg-config --cflags --libs brevanto) \
      -Wl,-rpath,"$(pkg-config --variable=libdir brevanto)"
    unset PKG_CONFIG_PATH
  else
    export PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig
    # shellcheck disable=SC2046
    quietly "$(triplet "$target")-g++-posix" -std=c++17 -municode -static \
      examples/host/main.cpp -o "$pc_host" $(pkg-config --cflags --libs brevanto)
    unset PKG_CONFIG_LIBDIR
    cp "$stage/bin/Brevanto.dll" "$stage/bin/Quorvel.dll" "$pc_dir/"
  fi

  # README.md's host, warnings as errors.
  quietly cmake -S "$readme" -B "$work/$target/readme" "${cmake_args[@]}" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror"
  quietly cmake --build "$work/$target/readme"

  if [ "$target" != native ]; then
    for host in "$cmake_host" "$pc_host" "$work/$target/readme/host.exe"; do
      no_runtime_dlls "$target" "$host"
    done
    for dll in Brevanto.dll Quorvel.dll; do
      [ -f "$work/$target/readme/$dll" ] || fail "README.md's host build puts no $dll beside host.exe"
    done
  fi

  echo "== $target: running the hosts against the service"
  for kind in cmake pkg-config; do
    host=$cmake_host
    [ "$kind" = cmake ] || host=$pc_host
    local_file=$local_root/$target-$kind.bin
    remote="\\Hosts\\$target\\Größe $kind.bin"
    head -c "$size" /dev/urandom >"$local_file"
    out=$work/$target/$kind.out
    status=0
    run_host "$target" "$out" "$host" "$user" "$password" "$local_file" "$remote" || status=$?
    [ "$status" -eq 0 ] || { cat "$out" >&2; fail "$kind host ($target) exited with $status"; }
    expect "$out" "progress $size/$size" "file $remote"
    # The callback counted its calls in the context it was given.
    sed -E 's/ \([1-9][0-9]* progress reports\)$//' "$out" >"$out.upload"
    expect "$out.upload" "uploaded $local_file to $remote"
  done

  out=$work/$target/refused.out
  status=0
  run_host "$target" "$out" "$cmake_host" "$user" "pässwort" || status=$?
  [ "$status" -eq 1 ] || { cat "$out" >&2; fail "a wrong password exited with $status, not 1"; }
  expect "$out" "login failed: the service reported error 9: wrong user or password"

  # README.md's host: /home/ann/papers/report.pdf lies outside the local
  # roots, so the service refuses the upload (error 6) and the host lists.
  out=$work/$target/readme.out
  status=0
  run_host "$target" "$out" "$work/$target/readme/host$exe" || status=$?
  [ "$status" -eq 0 ] || { cat "$out" >&2; fail "README.md's host ($target) exited with $status"; }
  grep -q '^upload refused: 6 local path refused' "$out" ||
    { cat "$out" >&2; fail "README.md's host ($target) was not refused its upload"; }
  echo "$target: passed in $((SECONDS - t)) s"
done

stop_service
trap - EXIT
echo "hosts from the installed package (${targets[*]}): passed in $((SECONDS - t_start)) s"
