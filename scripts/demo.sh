#!/usr/bin/env bash
# Quick start: installs what is missing, builds the driver and the tool, and
# runs a short session on the built-in gateway simulator. Arguments go to
# `tarnlink demo` (e.g. --host 192.168.1.10 for a real gateway, --udp).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "== configuring build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "== building the driver libraries and the tarnlink tool"
cmake --build build -j"$(nproc)" --target tarnlink tarnlink_tcp tarnlink_udp
echo
exec build/tools/cli/tarnlink demo "$@"
