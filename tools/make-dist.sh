#!/usr/bin/env bash
# Packs dist/kalvex-<version>.zip from both builds. The same commit gives the same bytes: the
# DLLs carry no time stamps, and the archive gets fixed times and a sorted file list.
# Usage: tools/make-dist.sh [OUTPUT_DIR]   (default dist/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$top/dist}" && cd "${1:-$top/dist}" && pwd)
version=$(sed -n 's/^project(KALVEX VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
name=kalvex-$version
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name

mkdir -p "$stage"/{x86,x64,include,docs,examples}
for arch in x86 x64; do
  for f in KALVEX.dll libkalvex.dll.a KALVEX.lib KALVEX.def kalvexsh.exe; do
    cp "$top/dist/$arch/$f" "$stage/$arch/"
  done
done
cp "$top/include/kalvex.h" "$stage/include/"
cp "$top/docs/API.md" "$stage/docs/"
cp "$top"/examples/*.c "$stage/examples/"
cp "$top/README.md" "$stage/"

rm -f "$out/$name.zip"
(cd "$work" && find "$name" -type f | LC_ALL=C sort > files.txt &&
  cmake -E tar cf "$out/$name.zip" --format=zip --mtime="2000-01-01 00:00:00 UTC" --files-from=files.txt)
echo "$out/$name.zip"
