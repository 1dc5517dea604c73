#!/usr/bin/env bash
# Checks that nothing listens on 127.0.0.1:PORT (default 11001), the port of
# the local service that the demo and the tests start. Exits 0 when it is
# free; otherwise says which program holds it, and how to find out when this
# user cannot see it, and exits 1.
#
#   scripts/check-port.sh [PORT]
set -euo pipefail

port=${1:-11001}
hex=$(printf ':%04X' "$port")

# Listening sockets (state 0A) on the port at an address that takes
# connections to 127.0.0.1: 127.0.0.1, 0.0.0.0, :: and ::ffff:127.0.0.1.
listeners() {
  awk -v port="$hex" '
    FNR > 1 && $4 == "0A" && substr($2, length($2) - 4) == port {
      address = substr($2, 1, length($2) - 5)
      if (address == "0100007F" || address == "00000000" ||
          address == "00000000000000000000000000000000" ||
          address == "0000000000000000FFFF00000100007F") print $10
    }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

if [ -r /proc/net/tcp ]; then
  inodes=$(listeners)
  [ -z "$inodes" ] && exit 0
else
  # No /proc: a connection that succeeds means something listens.
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || exit 0
  inodes=""
fi

holders=""
for inode in $inodes; do
  for fd in /proc/[0-9]*/fd/*; do
    if [ "$(readlink "$fd" 2>/dev/null)" = "socket:[$inode]" ]; then
      pid=${fd#/proc/}
      pid=${pid%%/*}
      command=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)
      holders+="  pid $pid: ${command:-?}"$'\n'
      break
    fi
  done
done

echo "127.0.0.1:$port is taken; the demo and the tests need it free." >&2
if [ -n "$holders" ]; then
  printf 'It is held by:\n%s' "$holders" >&2
  echo "Stop it (a brevanto-service left running?) and try again." >&2
else
  echo "It is held by a process of another user; 'sudo ss -ltnp sport = :$port' names it." >&2
fi
exit 1
