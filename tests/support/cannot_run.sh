# shellcheck shell=bash
# A shell test that cannot run on this machine for want of something: the
# reason on one line, then exit 77 (a skip: CTest's SKIP_RETURN_CODE, the
# test command's stage convention), or exit 1 under CI=true (or 1).
#   source tests/support/cannot_run.sh; cannot_run "no tshark"
#   bash tests/support/cannot_run.sh "no tshark"      (as a test command of its own)
cannot_run() {
  if [[ "${CI:-}" == true || "${CI:-}" == 1 ]]; then
    echo "cannot run here (a failure under CI): $*" >&2
    exit 1
  fi
  echo "cannot run here: $*" >&2
  exit 77
}
if [ "${BASH_SOURCE[0]}" = "$0" ]; then cannot_run "$@"; fi
