# Shared by the benchmark scripts (sourced): the build, seeded test trees
# and a service started on an empty storage root. Needs $work (the scripts'
# work folder) and, for start_service, $service_bin.

# build_bench_binaries: builds the service and the command line in
# BUILD_DIR (default build) and sets service_bin and cli_bin. A build
# directory already configured (the test suite's) is used as it is.
build_bench_binaries() {
  local build
  build=$(realpath -m "${BUILD_DIR:-build}")
  if [ -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" >/dev/null
  else
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" -j2 --target brevanto-service brevanto-cli >/dev/null
  service_bin="$build/service/brevanto-service"
  cli_bin="$build/cli/brevanto"
}

# Deterministic bytes: AES-CTR of zeros under a fixed key.
# openssl stops on SIGPIPE once head has its bytes: not a failure.
seeded_bytes() { # count seed
  openssl enc -aes-128-ctr -nosalt -pass "pass:brevanto-$2" </dev/zero 2>/dev/null |
    head -c "$1" || true
}

# make_tree DIR COUNT MIN MAX BIG_COUNT BIG_SIZE SEED: COUNT files of MIN..MAX
# bytes in folders of 100, then BIG_COUNT files of BIG_SIZE bytes.
make_tree() {
  local dir=$1 count=$2 min=$3 max=$4 big_count=$5 big_size=$6 seed=$7
  mkdir -p "$dir"
  seeded_bytes $((count * max)) "$seed" >"$work/pool"
  # One pass plans and writes every file: its folder, name and size.
  perl -e '
    my ($dir, $n, $lo, $hi, $seed, $pool) = @ARGV;
    srand($seed);
    open(my $in, "<:raw", $pool) or die "$pool: $!";
    for my $i (0 .. $n - 1) {
      my $size = $lo + int(rand($hi - $lo + 1));
      my $sub = sprintf("%s/d%03d", $dir, int($i / 100));
      mkdir $sub;
      read($in, my $bytes, $size) == $size or die "short pool";
      open(my $out, ">:raw", sprintf("%s/f%05d.dat", $sub, $i)) or die "$sub: $!";
      print $out $bytes;
      close $out;
    }' "$dir" "$count" "$min" "$max" "$seed" "$work/pool"
  rm -f "$work/pool"
  local i
  for i in $(seq 1 "$big_count"); do
    seeded_bytes "$big_size" "$seed-big-$i" >"$dir/big$i.bin"
  done
}

# start_service STORAGE [service options...]: an empty storage root with
# the account $BREVANTO_USER for this uid, and a service on it; sets
# service_pid. Extra arguments go before the service's own (a wrapper such
# as strace); the port file is $work/port. $service_extra, when set, holds
# more options for the service (split at spaces).
start_service() {
  local storage=$1
  shift
  rm -rf "$storage" "$work/port"
  mkdir -p "$storage"
  printf '%s\n' "$BREVANTO_PASSWORD" | "$service_bin" --root "$storage" \
    --add-user "$BREVANTO_USER" --allow-uid "$(id -u)" >"$work/add-user.log" 2>&1 ||
    { cat "$work/add-user.log" >&2; return 1; }
  local extra=()
  [ -z "${service_extra:-}" ] || read -r -a extra <<<"$service_extra"
  "$@" "$service_bin" --root "$storage" --local-root "$work" --port-file "$work/port" \
    "${extra[@]}" >"$work/service.log" 2>&1 &
  service_pid=$!
  local _
  for _ in $(seq 1 200); do
    [ -s "$work/port" ] && return 0
    sleep 0.05
  done
  cat "$work/service.log" >&2
  return 1
}

# stop_service: stops the service that start_service started.
stop_service() {
  [ -n "$service_pid" ] || return 0
  kill "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
}
