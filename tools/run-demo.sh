#!/usr/bin/env bash
# Builds Kavrel and runs the demo host against a simulated instrument on the
# built-in virtual null-modem. Extra arguments go to the demo, e.g.
#   bash tools/run-demo.sh --port /dev/ttyUSB0 --baud 9600
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh build
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVREL_TESTS=OFF -DKAVREL_BENCH=OFF -DKAVREL_FUZZ=OFF >/dev/null
cmake --build build-demo -j2 --target kavrel_demo >/dev/null
exec build-demo/tools/kavrel_demo "$@"
