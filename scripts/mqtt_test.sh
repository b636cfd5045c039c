#!/usr/bin/env bash
# The MQTT bridge against a real broker: flake8 over the tests, then pytest
# with mosquitto, mosquitto_sub, paho, python-can's log reader and tshark.
# Exit code 77 when a part is missing here (under CI=true that is a failure).
#   scripts/mqtt_test.sh [BUILD_DIR] [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
py=/usr/bin/python3
missing=()
for p in mosquitto mosquitto_sub mosquitto_passwd openssl tshark; do
  command -v "$p" >/dev/null || missing+=("$p")
done
"$py" -c 'import paho.mqtt' 2>/dev/null || missing+=(python3-paho-mqtt)
if [ ${#missing[@]} -gt 0 ]; then
  echo "mqtt_test: cannot run here, missing: ${missing[*]} (scripts/deps.sh installs them)" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
if [ ! -x "$build/tools/cli/tarnlink" ] || [ ! -e "$build/api/libtarnlink_tcp.so" ]; then
  cmake --build "$build" -j2 --target tarnlink tarnlink_tcp tarnlink_udp
fi
(cd tests/mqtt && "$py" -m flake8 --max-line-length 120 . ../../bench/mqtt_bench.py)
TARNLINK_BUILD_DIR=$(cd "$build" && pwd) PYTHONDONTWRITEBYTECODE=1 \
  timeout 300 "$py" -m pytest -q -p no:cacheprovider tests/mqtt "$@"
