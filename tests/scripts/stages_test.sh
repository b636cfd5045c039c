#!/usr/bin/env bash
# The stage machinery of scripts/test.sh, on stages of its own: a stage that
# cannot run (exit 77) is a skip with its reason, and fails the run under
# CI=true; a failed stage fails the run and the later ones still run; --only
# says it is a partial run; a process a stage leaves behind is found, and
# fails the run under CI. Seconds, no build.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
cleanup() {
  # The process the leftover case leaves on purpose, by its id.
  if [ -s "$work/leaked.pid" ]; then kill "$(cat "$work/leaked.pid")" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  [ -f "$work/out" ] && sed 's/^/  | /' "$work/out" >&2
  exit 1
}

cat >"$work/run.sh" <<END
#!/usr/bin/env bash
set -euo pipefail
source "$repo/scripts/stages.sh"
stages_init "\$@"
stage ok true
stage wanting bash -c 'echo "some output"; echo "no frobnicator on this machine"; exit 77'
[ -z "\${FAIL_STAGE:-}" ] || stage broken false
stage after touch "$work/after.ran"
[ -z "\${LEAK:-}" ] || stage leaky bash -c 'sleep 60 & echo \$! >"$work/leaked.pid"'
stages_end
END
chmod +x "$work/run.sh"
# run EXPECTED_STATUS [VAR=value ...] -- [arguments]
run() {
  local want=$1 rc=0
  shift
  local vars=()
  while [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  rm -f "$work/after.ran"
  env -u CI TARNLINK_LEFTOVER_WAIT=1 "${vars[@]}" "$work/run.sh" "$@" >"$work/out" 2>&1 || rc=$?
  case "$want" in
    0) [ "$rc" -eq 0 ] || fail "exit $rc, expected 0 (${vars[*]} $*)" ;;
    fail) [ "$rc" -ne 0 ] || fail "exit 0, expected a failure (${vars[*]} $*)" ;;
  esac
}
has() { grep -Eq "$1" "$work/out" || fail "no line matching '$1'"; }

run 0 --
has '^  wanting +skipped no frobnicator on this machine$'
has '^  ok +passed'
run fail CI=true --
has '^  wanting +FAILED  cannot run under CI: no frobnicator on this machine$'
has '^== FAILED'
run fail FAIL_STAGE=1 --
has '^  broken +FAILED  exit 1'
[ -f "$work/after.ran" ] || fail "the stage after a failed one did not run"
run 0 -- --only ok,after
has '^== PARTIAL RUN'
grep -q wanting "$work/out" && fail "--only ran a stage it did not name"
run fail -- --only nosuch
has "no stage named 'nosuch'"

run 0 LEAK=1 --
has '^  leftovers +warning 1 process'
kill "$(cat "$work/leaked.pid")"
run fail LEAK=1 CI=true --
has "pid $(cat "$work/leaked.pid"): sleep 60"
has '^  leftovers +FAILED'
echo "ok: stage machinery"
