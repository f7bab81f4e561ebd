#!/usr/bin/env bash
# Builds the Debian package of Kavrel: build-deb/kavrel_<version>_<arch>.deb
# (library, headers, CMake and pkg-config files, tools, documentation),
# its dependencies computed by dpkg-shlibdeps. Install it with
#   sudo apt-get install ./build-deb/kavrel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KAVREL_JOBS:-2}
bash tools/install-deps.sh package
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKAVREL_TESTS=OFF -DKAVREL_BENCH=OFF -DKAVREL_FUZZ=OFF >/dev/null
cmake --build build-deb -j"$jobs" >/dev/null
rm -f build-deb/kavrel_*.deb
if ! (cd build-deb && cpack -G DEB) >build-deb/cpack.log 2>&1; then
  cat build-deb/cpack.log >&2
  exit 1
fi
ls build-deb/kavrel_*.deb
