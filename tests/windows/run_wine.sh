#!/usr/bin/env bash
# Runs the cross-built Windows tests under wine64 in one Wine prefix of the
# build folder, each bounded in time.
#   [TARNLINK_LINUX_TOOL=build/tools/cli/tarnlink] tests/windows/run_wine.sh <build folder>
set -euo pipefail
build=$(cd "$1" && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# The prefix's server and every Windows process in it end with this script,
# also when it fails or is interrupted.
trap '"$(dirname "$wine")/wineserver" -k >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
# The first start of a prefix sets it up; later ones reuse it.
timeout 120 "$wine" cmd /c exit >/dev/null 2>&1 || true
failed=0
run() {
  local limit=$1
  shift
  echo "-- $*"
  if ! (cd "$build/api" && timeout --kill-after=10 "$limit" "$wine" "$@"); then
    echo "FAILED: $*" >&2
    failed=1
  fi
}
run 60 "$build/tests/api/c_header_test.exe"
run 120 "$build/tests/protocol/protocol_test.exe" --gtest_brief=1
run 180 "$build/tests/windows/windows_test.exe" --gtest_brief=1
run 300 "$build/tests/device/device_e2e_test.exe" --gtest_brief=1 ${TARNLINK_WINE_E2E_FILTER:+--gtest_filter=$TARNLINK_WINE_E2E_FILTER}
# Across the system boundary: needs the Linux tool of build/.
if [ -n "${TARNLINK_LINUX_TOOL:-}" ]; then
  echo "-- cross-system check"
  timeout --kill-after=10 300 /usr/bin/python3 "$(dirname "$0")/cross_system.py" "$TARNLINK_LINUX_TOOL" \
    "$build/tools/cli/tarnlink.exe" "$wine" || { echo "FAILED: cross-system check" >&2; failed=1; }
fi
exit $failed
