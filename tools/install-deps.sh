#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine; does nothing when all is there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in cmake make g++ libgtest-dev g++-mingw-w64-i686 gcc-multilib linux-libc-dev:i386 wine wine32:i386 \
         g++-mingw-w64-x86-64 wine64 clang libclang-rt-14-dev; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${need[*]}; run this script as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
