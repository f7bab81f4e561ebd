#!/usr/bin/env bash
# Builds Kavrel.dll for 32-bit and 64-bit Windows with mingw-w64, with the
# Wine test host, into build-win32/ and build-win64/; then, once both DLLs
# are there, the installers build-msi/Kavrel-<version>.msi (64-bit Windows:
# both DLLs) and build-msi/Kavrel-<version>-x86.msi (32-bit Windows) with
# wixl, from packaging/windows/kavrel.wxs.
#   tools/build-windows.sh [win32|win64|msi ...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KAVREL_JOBS:-2}
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
# The installers: the one project version, a fixed upgrade code (in the
# source), both DLLs and the documents.
build_msi() {
  local version stage=build-msi/stage
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win64/CMakeCache.txt)
  [ -n "$version" ] || { echo "no project version in build-win64" >&2; exit 2; }
  command -v wixl >/dev/null || { echo "wixl is missing (Debian package wixl)" >&2; exit 2; }
  rm -rf build-msi && mkdir -p "$stage/win32" "$stage/win64"
  cp build-win32/Kavrel.dll "$stage/win32/" && cp build-win64/Kavrel.dll "$stage/win64/"
  cp packaging/windows/*.txt README.md docs/windows.md docs/members.md "$stage/"
  # wixl resolves sources relative to the working directory.
  (cd build-msi &&
    wixl -a x64 -D Version="$version" -D SourceDir=stage -D Win64=yes \
      -o "Kavrel-$version.msi" ../packaging/windows/kavrel.wxs &&
    wixl -a x86 -D Version="$version" -D SourceDir=stage -D Win64=no \
      -o "Kavrel-$version-x86.msi" ../packaging/windows/kavrel.wxs)
  ls build-msi/*.msi
}

for arch in "${@:-win32 win64 msi}"; do
  for a in $arch; do
    case "$a" in
      win32) triplet=i686-w64-mingw32 ;;
      win64) triplet=x86_64-w64-mingw32 ;;
      msi) build_msi; continue ;;
      *) echo "unknown target $a (win32, win64 or msi)" >&2; exit 2 ;;
    esac
    cmake -S . -B "build-$a" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" >/dev/null
    cmake --build "build-$a" -j"$jobs"
  done
done
