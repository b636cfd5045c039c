#!/usr/bin/env bash
# The whole test suite, in stages: format and tidy checks, plain build and
# tests, the libraries with clang's lock analysis, the Python package,
# everything in Release, ASan+UBSan, TSan (transport and concurrency tests),
# the Debian packages, a short bounded run of every fuzz target, and the
# Windows builds with their tests under Wine. The build folders are those of
# CMakePresets.json. It ends with a table of the stages and a check that no
# process the run started is still running.
#
#   scripts/test.sh                       every stage
#   scripts/test.sh --only lint,plain     chosen stages (a partial run, and it says so)
#   scripts/test.sh --list                the stage names
#
# Adding a stage: one line `stage NAME command [args]` below (a script, or a
# function defined here). The convention (scripts/stages.sh): exit 0 passed,
# any other status failed, and 77 "cannot run here for want of something"
# with the reason as the last line printed. A 77 is a skip with its reason,
# except under CI=true where it fails the run. A test inside a stage that
# cannot run says so the same way: TARNLINK_CANNOT_RUN() in GoogleTest
# (tests/support/cannot_run.h), cannot_run in shell (tests/support/
# cannot_run.sh), pytest.skip in python/tests (failed under CI by its conftest).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh
stages_init "$@"
stages_listing || scripts/deps.sh
jobs=$(nproc)

# build PRESET [cmake options]
build() {
  local preset=$1
  shift
  cmake --preset "$preset" -DTARNLINK_WERROR=ON "$@" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
}
plain() {
  build default
  ctest --test-dir build --output-on-failure -j2
}
asan() {
  build asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j2
}
tsan() {
  build tsan
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j2 -L 'transport|concurrency'
}

# The stage machinery itself: a skip under CI fails, leftovers are found.
stage stages tests/scripts/stages_test.sh
# Format and tidy (scripts/lint.sh --fix formats the tree).
stage lint scripts/lint.sh
stage plain plain
# The libraries with clang-14, -Wthread-safety -Werror.
stage clang build clang
# The Python package and python-can plugin (flake8, pytest).
stage python scripts/python_test.sh build
# The MQTT bridge against a mosquitto broker of its own (pytest).
stage mqtt scripts/mqtt_test.sh build
# Everything in Release (every build type must build).
stage release build release
stage asan asan
stage tsan tsan
# Debian's flags, lintian, a consumer of the unpacked packages, manual pages.
stage package scripts/package_test.sh build-package
stage fuzz scripts/fuzz.sh "${TARNLINK_FUZZ_SECONDS:-20}"
# MinGW-w64 cross builds and the tests under Wine (installs what it needs as root).
stage windows scripts/windows.sh

stages_end
