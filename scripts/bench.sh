#!/usr/bin/env bash
# Builds Release and runs both benchmark programs: the codec micro-benchmarks
# and the end-to-end figures of both libraries on loopback.
#   scripts/bench.sh [build-dir] [e2e_bench options: --quick, --only SECTIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-bench
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  dir=$1
  shift
fi
scripts/deps.sh
# The bench preset, in another folder when one is given.
cmake --preset bench -B "$dir" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target codec_bench e2e_bench

echo "== codec benchmarks"
"$dir"/bench/codec_bench --benchmark_min_time=0.2
echo
echo "== end-to-end benchmarks"
"$dir"/bench/e2e_bench "$@"
