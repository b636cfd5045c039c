#!/usr/bin/env bash
# The Python stage: flake8 over python/, then pytest against the built
# libraries and `tarnlink sim`. The package is installed the way a user's
# pip does it (offline, Debian's setuptools), into a temporary folder, so
# that python-can finds the plugin through its entry point.
#   scripts/python_test.sh [BUILD_DIR] [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
py=/usr/bin/python3  # Debian's, which sees python3-can
if [ ! -x "$build/tools/cli/tarnlink" ] || [ ! -e "$build/api/libtarnlink_tcp.so" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target tarnlink tarnlink_tcp tarnlink_udp
fi
(cd python && "$py" -m flake8 . ../bench/python_bench.py)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r python "$tmp/src"  # pip builds in the source tree: keep ours clean
"$py" -m pip install --quiet --root-user-action=ignore --no-build-isolation --no-deps --no-compile \
  --target "$tmp/site" "$tmp/src"
TARNLINK_BUILD_DIR=$(cd "$build" && pwd) PYTHONPATH="$tmp/site" PYTHONDONTWRITEBYTECODE=1 \
  timeout 300 "$py" -m pytest -q -p no:cacheprovider python/tests "$@"
