#!/usr/bin/env bash
# The whole test suite: format and tidy checks, plain build, the libraries
# with clang's lock analysis, the Python package, everything in Release,
# ASan+UBSan, TSan (transport and concurrency tests), the Debian packages,
# then a short bounded run of every fuzz target. The build folders are those
# of CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

# build PRESET [cmake options]
build() {
  local preset=$1
  shift
  cmake --preset "$preset" -DTARNLINK_WERROR=ON "$@" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
}

echo "== lint (scripts/lint.sh --fix formats the tree)"
scripts/lint.sh

echo "== plain build"
build default
ctest --test-dir build --output-on-failure -j2

echo "== clang-14 build of the libraries, -Wthread-safety -Werror"
build clang

echo "== Python package and python-can plugin (flake8, pytest)"
scripts/python_test.sh build

echo "== MQTT bridge with a mosquitto broker (pytest)"
rc=0
scripts/mqtt_test.sh build || rc=$?
[ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || exit "$rc"

echo "== release: everything in Release, compiled (every build type must build)"
build release

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2

echo "== ThreadSanitizer (transport and concurrency tests)"
build tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j2 -L 'transport|concurrency'

echo "== Debian packages (Debian's flags, lintian, a consumer of the unpacked packages, manual pages)"
scripts/package_test.sh build-package

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzzing (bounded)"
  scripts/fuzz.sh "${TARNLINK_FUZZ_SECONDS:-20}"
fi
echo "== Windows: MinGW-w64 cross builds, tests under Wine"
if why=$(scripts/windows.sh --check 2>&1); then
  scripts/windows.sh
else
  echo "skipped: $why"
fi

echo "== all suites passed"
