#!/usr/bin/env bash
# Builds Kavrel.dll for 32-bit and 64-bit Windows with mingw-w64, with the
# Wine test host, into build-win32/ and build-win64/.
#   tools/build-windows.sh [win32|win64 ...]
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KAVREL_JOBS:-2}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
for arch in "${@:-win32 win64}"; do
  for a in $arch; do
    case "$a" in
      win32) triplet=i686-w64-mingw32 ;;
      win64) triplet=x86_64-w64-mingw32 ;;
      *) echo "unknown target $a (win32 or win64)" >&2; exit 2 ;;
    esac
    cmake -S . -B "build-$a" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" >/dev/null
    cmake --build "build-$a" -j"$jobs"
  done
done
