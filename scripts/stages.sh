# shellcheck shell=bash
# The stage machinery of scripts/test.sh (sourced, not run):
#
#   source scripts/stages.sh
#   stages_init "$@"            # --only NAME[,NAME...], --list
#   stage NAME command [args]   # one line per stage
#   stages_end                  # leftover processes, the table, the exit code
#
# A stage passes with exit 0 and fails with any other status, except 77:
# "cannot run here for want of something", with the reason as the last line
# of its output. Outside CI that is a skip with its reason; under CI=true
# (or 1) it is a failure with its reason. Every stage runs even after one
# failed; the run fails at the end if any did.
#
# Every process of the run carries TARNLINK_TEST_RUN (a fresh value per run)
# in its environment. At the end, any process still running with it (other
# than this shell) is listed with its command line; under CI that fails the
# run. Processes that clear their environment escape the check.

stages_under_ci() { [[ "${CI:-}" == true || "${CI:-}" == 1 ]]; }
# --list: the stages are named, not run.
stages_listing() { [ "${_stages_list:-0}" -eq 1 ]; }

stages_init() {
  _stages_only=""
  _stages_list=0
  while [ $# -gt 0 ]; do
    case "$1" in
      --only)
        [ $# -ge 2 ] || { echo "usage: $0 [--only NAME[,NAME...]] [--list]" >&2; exit 2; }
        _stages_only=$2
        shift 2
        ;;
      --only=*)
        _stages_only=${1#--only=}
        shift
        ;;
      --list)
        _stages_list=1
        shift
        ;;
      *)
        echo "usage: $0 [--only NAME[,NAME...]] [--list]" >&2
        exit 2
        ;;
    esac
  done
  _stages_names=()
  _stages_results=()
  _stages_seen=()
  _stages_failed=0
  _stages_logs=$(mktemp -d)
  trap 'rm -rf "$_stages_logs"' EXIT
  TARNLINK_TEST_RUN="$$-$RANDOM$RANDOM-$(date +%s%N)"
  export TARNLINK_TEST_RUN
  [ "$_stages_list" -eq 1 ] && return 0
  if [ -n "$_stages_only" ]; then
    echo "== PARTIAL RUN: only the stages $_stages_only (not the whole suite)"
  fi
  if stages_under_ci; then
    echo "== CI=${CI}: a stage or test that cannot run here fails the run"
  fi
}

# _stages_elapsed SECONDS -> "42 s" or "3 min 07 s"
_stages_elapsed() {
  local s=$1
  if [ "$s" -lt 60 ]; then echo "$s s"; else printf '%d min %02d s\n' $((s / 60)) $((s % 60)); fi
}

stage() {
  local name=$1
  shift
  _stages_seen+=("$name")
  if [ "$_stages_list" -eq 1 ]; then
    echo "$name"
    return 0
  fi
  if [ -n "$_stages_only" ] && [[ ",$_stages_only," != *",$name,"* ]]; then
    return 0
  fi
  local log="$_stages_logs/$name.log" start rc reason
  echo "== $name: $*"
  start=$(date +%s)
  # Not a pipe into tee: a process the stage left behind holding its output
  # open would hold the run too. tee gets a bounded wait, then is ended.
  local fifo="$_stages_logs/$name.fifo" tee_pid
  mkfifo "$fifo"
  tee "$log" <"$fifo" &
  tee_pid=$!
  set +e
  (
    set -e
    "$@"
  ) >"$fifo" 2>&1
  rc=$?
  set -e
  local _
  for _ in $(seq 40); do
    kill -0 "$tee_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$tee_pid" 2>/dev/null || true
  local took
  took=$(_stages_elapsed $(($(date +%s) - start)))
  _stages_names+=("$name")
  if [ "$rc" -eq 0 ]; then
    _stages_results+=("passed  $took")
  elif [ "$rc" -eq 77 ]; then
    reason=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1)
    [ -n "$reason" ] || reason="(no reason given)"
    if stages_under_ci; then
      _stages_results+=("FAILED  cannot run under CI: $reason")
      _stages_failed=1
    else
      _stages_results+=("skipped $reason")
    fi
  else
    _stages_results+=("FAILED  exit $rc after $took")
    _stages_failed=1
  fi
}

# Pids (not this shell) whose environment holds TARNLINK_TEST_RUN=<ours>.
# Bash's own reads only: a helper process would carry the marker itself.
_stages_marked() {
  local environ pid var
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" = "$$" ] && continue
    [ -r "$environ" ] || continue
    while IFS= read -r -d '' var; do
      if [ "$var" = "TARNLINK_TEST_RUN=$TARNLINK_TEST_RUN" ]; then
        echo "$pid"
        break
      fi
    done 2>/dev/null <"$environ" || true
  done
}

# Processes the run started that are still there, after a bounded wait for
# those on their way out (TARNLINK_LEFTOVER_WAIT seconds, default 5).
_stages_leftovers() {
  local deadline left pid cmd arg
  deadline=$(($(date +%s) + ${TARNLINK_LEFTOVER_WAIT:-5}))
  while :; do
    mapfile -t left < <(_stages_marked)
    [ ${#left[@]} -eq 0 ] && return 0
    [ "$(date +%s)" -ge "$deadline" ] && break
    sleep 0.2
  done
  for pid in "${left[@]}"; do
    cmd=""
    while IFS= read -r -d '' arg; do cmd+="$arg "; done 2>/dev/null <"/proc/$pid/cmdline" || true
    [ -n "$cmd" ] && echo "  pid $pid: $cmd"
  done
  return 1
}

stages_end() {
  if [ "$_stages_list" -eq 1 ]; then exit 0; fi
  if [ -n "$_stages_only" ]; then
    local want
    for want in ${_stages_only//,/ }; do
      if [[ " ${_stages_seen[*]} " != *" $want "* ]]; then
        echo "== no stage named '$want' (stages: ${_stages_seen[*]})" >&2
        _stages_failed=1
      fi
    done
  fi
  local leftovers
  if leftovers=$(_stages_leftovers); then
    _stages_names+=("leftovers")
    _stages_results+=("passed  no process of the run is still running")
  else
    echo "== processes the run started that are still running:"
    echo "$leftovers"
    _stages_names+=("leftovers")
    if stages_under_ci; then
      _stages_results+=("FAILED  $(grep -c pid <<<"$leftovers") process(es) still running (listed above)")
      _stages_failed=1
    else
      _stages_results+=("warning $(grep -c pid <<<"$leftovers") process(es) still running (listed above)")
    fi
  fi
  echo
  echo "== stages"
  local i
  for i in "${!_stages_names[@]}"; do
    printf '  %-10s %s\n' "${_stages_names[$i]}" "${_stages_results[$i]}"
  done
  local verdict="passed"
  [ "$_stages_failed" -eq 0 ] || verdict="FAILED"
  if [ -n "$_stages_only" ]; then
    echo "== PARTIAL RUN ($_stages_only): $verdict; the other stages did not run"
  elif [ "$_stages_failed" -eq 0 ]; then
    echo "== all stages passed$(stages_under_ci || echo ' or were skipped for the reason given')"
  else
    echo "== FAILED"
  fi
  [ "$_stages_failed" -eq 0 ]
}
