#!/usr/bin/env bash
# Builds and runs the feeder benchmark (optimised build).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
cmake -S benchmarks -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/bench
build/bench/feeder_benchmark "$@"
