#!/usr/bin/env bash
# The Python stage: flake8 over python/, then the whole pytest suite against
# the built libraries and `tarnlink sim`, once under each python-can the
# plugin supports: Debian 12's python3-can 4.1.0 as installed, and Debian
# 13's python3-can 4.5.0, fetched from Debian's archive as a .deb (kept in
# BUILD_DIR/python-can/ for the next run) and unpacked into a temporary
# folder put first on PYTHONPATH. The system's apt sources and state are not
# touched. The package is installed as `cmake --install` installs it (pip,
# offline, Debian's setuptools) into a temporary folder, so that python-can
# finds the plugin through its entry point as a user's does.
#   scripts/python_test.sh [BUILD_DIR] [pytest arguments]
# Exit status: 0 both passed; 1 a check failed; 77 the newer python-can
# cannot be had here (the reason is printed; under CI=true the test command
# counts that as a failure).
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
DESTDIR="$tmp/root" cmake --install "$build" --prefix /usr --component python >/dev/null
site="$tmp/root/usr/lib/python3/dist-packages"
[ -d "$site/tarnlink" ] || { echo "python_test: the install step did not install the package" >&2; exit 1; }

# Debian 13's python3-can .deb, fetched once into the build folder with a
# private apt configuration (its own sources list, lists and cache).
# Prints the .deb's path; on failure the reason, on standard error.
fetch_newer() {
  local keep="$build/python-can" deb apt_dir uri
  deb=$(ls "$keep"/python3-can_4.5.*_all.deb 2>/dev/null | head -n 1 || true)
  if [ -n "$deb" ]; then echo "$deb"; return 0; fi
  command -v apt-get >/dev/null || { echo "no apt-get on this machine" >&2; return 1; }
  # The archive the system uses (or TARNLINK_DEBIAN_MIRROR): it serves trixie too.
  uri=${TARNLINK_DEBIAN_MIRROR:-$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)}
  uri=${uri:-http://deb.debian.org/debian}
  apt_dir="$tmp/apt"
  mkdir -p "$apt_dir/etc/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$keep"
  printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
    "$uri" /usr/share/keyrings/debian-archive-keyring.gpg >"$apt_dir/etc/sources.list.d/trixie.sources"
  local opts=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$apt_dir/etc/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
    -o APT::Sandbox::User=root)
  if ! timeout 300 apt-get "${opts[@]}" update >"$apt_dir/update.log" 2>&1; then
    echo "apt-get update of Debian 13 (trixie) from $uri failed: $(tail -n 2 "$apt_dir/update.log" | tr '\n' ' ')" >&2
    return 1
  fi
  # apt-get update succeeds with warnings when it reached nothing.
  if ! ls "$apt_dir"/lists/*trixie*Packages* >/dev/null 2>&1; then
    echo "no package list of Debian 13 (trixie) from $uri: $(grep -E '^(E|W):' "$apt_dir/update.log" | head -n 2 | tr '\n' ' ')" >&2
    return 1
  fi
  if ! (cd "$apt_dir" && timeout 300 apt-get "${opts[@]}" download python3-can/trixie >download.log 2>&1); then
    echo "apt-get download python3-can from trixie failed: $(tail -n 2 "$apt_dir/download.log" | tr '\n' ' ')" >&2
    return 1
  fi
  deb=$(ls "$apt_dir"/python3-can_*_all.deb 2>/dev/null | head -n 1 || true)
  case "$deb" in
    */python3-can_4.5.*) ;;
    "") echo "apt-get download left no python3-can .deb" >&2; return 1 ;;
    *) echo "Debian 13 now serves $(basename "$deb"), not the 4.5 line this stage tests" >&2; return 1 ;;
  esac
  mv "$deb" "$keep/"
  echo "$keep/$(basename "$deb")"
}

# One run of the suite; $1 names the python-can, $2 goes first on PYTHONPATH.
run_suite() {
  echo "python_test: the pytest suite under python-can $1"
  TARNLINK_BUILD_DIR=$(cd "$build" && pwd) TARNLINK_PYTHON_CAN="$1" PYTHONPATH="$2$site" \
    PYTHONDONTWRITEBYTECODE=1 timeout 300 "$py" -m pytest -q -p no:cacheprovider python/tests "${args[@]}"
}

args=("$@")
status=0
installed=$(dpkg-query -W -f='${Version}' python3-can 2>/dev/null || echo "?")
run_suite "$installed (Debian 12, installed)" "" || status=1

if deb=$(fetch_newer 2>"$tmp/fetch.err"); then
  dpkg-deb -x "$deb" "$tmp/newer"
  newer="$tmp/newer/usr/lib/python3/dist-packages"
  run_suite "$(dpkg-deb -f "$deb" Version) (Debian 13, $(basename "$deb"))" "$newer:" || status=1
else
  echo "python_test: cannot run the suite under Debian 13's python-can 4.5: $(cat "$tmp/fetch.err")" >&2
  [ "$status" -ne 0 ] || status=77
fi
exit "$status"
