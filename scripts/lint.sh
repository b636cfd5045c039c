#!/usr/bin/env bash
# Habits the test command enforces: every C and C++ file of the tree as
# .clang-format has it, and the library sources free of the .clang-tidy
# findings (warnings are errors).
#   scripts/lint.sh            check both; non-zero on any drift or finding
#   scripts/lint.sh --fix      format the tree in place, then check tidy
#   scripts/lint.sh --format   the format check only (--fix --format: format only)
#   scripts/lint.sh --tidy     the tidy check only
# The tidy check reads the compile commands of build/ (configured with the
# default preset when missing); TARNLINK_LINT_BUILD names another folder.
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
format=1
tidy=1
for arg in "$@"; do
  case "$arg" in
    --fix) fix=1 ;;
    --format) tidy=0 ;;
    --tidy) format=0 ;;
    *)
      echo "usage: scripts/lint.sh [--fix] [--format | --tidy]" >&2
      exit 2
      ;;
  esac
done

pick() {
  local tool
  for tool in "$@"; do
    if command -v "$tool" >/dev/null; then
      echo "$tool"
      return
    fi
  done
  echo "scripts/lint.sh: none of $* found (scripts/deps.sh installs them)" >&2
  exit 1
}
clang_format=$(pick clang-format-14 clang-format)

# Tracked files when this is a git checkout, else every source under the tree.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t sources < <(git ls-files --cached --others --exclude-standard '*.c' '*.cc' '*.h')
else
  mapfile -t sources < <(find . -path './build*' -prune -o -type f \( -name '*.c' -o -name '*.cc' -o -name '*.h' \) -print)
fi
existing=()
for f in "${sources[@]}"; do [ -f "$f" ] && existing+=("$f"); done

if [ "$format" -eq 0 ]; then
  :
elif [ "$fix" -eq 1 ]; then
  echo "== clang-format: formatting ${#existing[@]} files"
  printf '%s\0' "${existing[@]}" | xargs -0 -n 50 "$clang_format" -i
else
  echo "== clang-format: checking ${#existing[@]} files"
  if ! printf '%s\0' "${existing[@]}" | xargs -0 -n 50 "$clang_format" --dry-run --Werror 2>/tmp/lint-format.$$; then
    grep -E '^[^ ].*: (warning|error):' /tmp/lint-format.$$ | cut -d: -f1 | sort -u | sed 's/^/!! not formatted: /'
    rm -f /tmp/lint-format.$$
    echo "!! format drift: scripts/lint.sh --fix formats the tree" >&2
    exit 1
  fi
  rm -f /tmp/lint-format.$$
fi

[ "$tidy" -eq 1 ] || exit 0

clang_tidy=$(pick clang-tidy-14 clang-tidy)
build=${TARNLINK_LINT_BUILD:-build}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset default -B "$build" >/dev/null
fi
library=()
# The Windows sources are checked by the MinGW build (scripts/windows.sh).
for f in platform/*.cc protocol/*.cc transport/*.cc device/*.cc api/*.cc; do
  [[ "$f" == *_win.cc ]] || library+=("$f")
done
echo "== clang-tidy: ${#library[@]} library sources"
printf '%s\0' "${library[@]}" |
  xargs -0 -n 1 -P "${TARNLINK_LINT_JOBS:-2}" "$clang_tidy" -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
echo "== lint passed"
