#!/usr/bin/env bash
# Installs what 32-bit Windows programs need here, when missing: the 32-bit
# MinGW-w64 cross compiler and Wine's 32-bit half (wine32:i386). The latter
# comes from the i386 architecture, which this script adds to dpkg's
# foreign architectures (dpkg --add-architecture i386) when it is not there.
# A 64-bit Wine prefix made before wine32 was installed cannot run 32-bit
# programs, so this runs before any prefix is made.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 && [ -x /usr/lib/wine/wine ]; then
  exit 0
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "== enabling the i386 architecture for wine32 (dpkg --add-architecture i386)"
  $sudo dpkg --add-architecture i386
fi
"$repo/scripts/deps.sh" g++-mingw-w64-i686-posix wine32:i386
