#!/usr/bin/env bash
# The whole test suite: plain build, ASan+UBSan, TSan (transport and
# concurrency tests), the Debian packages, then a short bounded run of
# every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNLINK_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== plain build"
build build
ctest --test-dir build --output-on-failure -j2

echo "== Python package and python-can plugin (flake8, pytest)"
scripts/python_test.sh build

echo "== build-release: everything in Release, compiled (every build type must build)"
build build-release -DCMAKE_BUILD_TYPE=Release

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DTARNLINK_SANITIZER=address -DTARNLINK_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2

echo "== ThreadSanitizer (transport and concurrency tests)"
build build-tsan -DTARNLINK_SANITIZER=thread -DTARNLINK_BUILD_BENCH=OFF -DTARNLINK_BUILD_TOOLS=OFF
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
