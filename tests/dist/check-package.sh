#!/usr/bin/env bash
# The release package holds both DLLs with the 43 names at their ordinals, importing only system
# DLLs; a second build of the same tree gives the same bytes, and so does a second package.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# name@ordinal for each export, sorted, as the module definition promises them.
expected=$(sed -n 's/^ *\([A-Z0-9]*\)[=@ ].*@\([0-9]*\)$/\1@\2/p' "$top/exports/kalvex.def" | LC_ALL=C sort)
[ "$(echo "$expected" | wc -l)" -eq 43 ] || fail "the module definition does not list 43 functions"

check_dll() { # dll objdump-prefix format
  local dll=$1 tool=$2 format=$3 base exports imports
  "$tool-objdump" -f "$dll" | grep -q "file format $format" || fail "$dll is not $format"
  base=$("$tool-objdump" -p "$dll" | sed -n 's/.*Ordinal Base \([0-9]*\).*/\1/p')
  exports=$("$tool-objdump" -p "$dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *\([0-9]*\)\] \([A-Z0-9]*\)$/\2 \1/p' |
    awk -v base="$base" '{ print $1 "@" $2 + base }' | LC_ALL=C sort)
  [ "$exports" = "$expected" ] || fail "$dll exports differ: $(diff <(echo "$expected") <(echo "$exports") | head -5)"
  imports=$("$tool-objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p' | LC_ALL=C sort | tr '\n' ' ')
  [ "$imports" = "KERNEL32.dll msvcrt.dll " ] || fail "$dll imports $imports"
  grep -q "KALVEX.dll" < <("$tool-objdump" -p "$dll" | sed -n 's/^Name .* //p') || fail "$dll module name"
}

zip=$("$top/tools/make-dist.sh" "$work/a")
again=$("$top/tools/make-dist.sh" "$work/b")
cmp -s "$zip" "$again" || fail "two packages of the same tree differ"
(cd "$work" && cmake -E tar xf "$zip")
pkg=$work/$(basename "$zip" .zip)
for f in include/kalvex.h docs/API.md examples/first_exchange.c examples/dynamic_load.c \
         x86/KALVEX.def x86/libkalvex.dll.a x86/KALVEX.lib x86/kalvexsh.exe \
         x64/KALVEX.def x64/libkalvex.dll.a x64/KALVEX.lib x64/kalvexsh.exe; do
  [ -s "$pkg/$f" ] || fail "package lacks $f"
done
check_dll "$pkg/x86/KALVEX.dll" i686-w64-mingw32 pei-i386
check_dll "$pkg/x64/KALVEX.dll" x86_64-w64-mingw32 pei-x86-64

# A second build from scratch in another directory.
for preset in win32:x86 win64:x64; do
  dir=$work/build-${preset%%:*}
  arch=${preset##*:}
  toolchain=$top/cmake/mingw-$([ "$arch" = x86 ] && echo i686 || echo x86_64).cmake
  cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DKALVEX_DIST_DIR="$dir/out" >/dev/null
  cmake --build "$dir" --target kalvex >/dev/null
  for f in KALVEX.dll libkalvex.dll.a KALVEX.lib; do
    cmp -s "$dir/out/$f" "$pkg/$arch/$f" || fail "$arch/$f differs between two builds"
  done
done

[ "$failures" -eq 0 ] && echo "package and rebuilds: all checks passed" || exit 1
