#!/usr/bin/env bash
# Builds Release and runs both benchmark programs: the codec micro-benchmarks
# and the end-to-end figures of both libraries on loopback.
#   scripts/bench.sh [build-dir] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
shift || true
scripts/deps.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTARNLINK_BUILD_TESTS=OFF -DTARNLINK_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target codec_bench e2e_bench

echo "== codec benchmarks"
"$dir"/bench/codec_bench --benchmark_min_time=0.2
echo
echo "== end-to-end benchmarks"
"$dir"/bench/e2e_bench "$@"
