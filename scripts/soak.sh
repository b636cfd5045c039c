#!/usr/bin/env bash
# Bounded soak, not part of CI: a simulated 4-channel gateway streams frames
# with sequence numbers at ~118,000 frames/s to the TCP library for ten
# minutes while the application drains every channel. Fails on any lost,
# reordered or damaged frame, or when resident memory grows after the first
# minute. Builds in build-soak/ (plain RelWithDebInfo; TARNLINK_SOAK_BUILD
# names another folder).
#   scripts/soak.sh [seconds] [frames_per_second]
set -euo pipefail

seconds="${1:-600}"
rate="${2:-118000}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TARNLINK_SOAK_BUILD:-${root}/build-soak}"

cmake -S "${root}" -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNLINK_BUILD_TOOLS=OFF -DTARNLINK_BUILD_BENCH=OFF >/dev/null
cmake --build "${build}" -j2 --target reliability_soak
log="${build}/soak.log"
echo "== soak: ${seconds} s at ${rate} frames/s (log: ${log})"
"${build}/tests/reliability/reliability_soak" --seconds "${seconds}" --rate "${rate}" --report 30 | tee "${log}"
