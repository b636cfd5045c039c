#!/usr/bin/env bash
# The Python stage: flake8 over python/, then pytest against the built
# libraries and `tarnlink sim`. The package is installed as `cmake --install`
# installs it (pip, offline, Debian's setuptools) into a temporary folder, so
# that python-can finds the plugin through its entry point as a user's does.
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
(cd python && "$py" -m flake8 . ../bench/python_bench.py ../bench/serve_bench.py)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The project's install step, which installs the package with pip
# (--no-build-isolation --no-deps --target), into a staging folder.
DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr >/dev/null
site="$tmp/root/usr/lib/python3/dist-packages"
[ -d "$site/tarnlink" ] || { echo "python_test: the install step did not install the package" >&2; exit 1; }
TARNLINK_BUILD_DIR=$(cd "$build" && pwd) PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 \
  timeout 300 "$py" -m pytest -q -p no:cacheprovider python/tests "$@"
