#!/usr/bin/env bash
# The Debian packages: built with Debian's flags (no warning allowed) in a
# build folder of their own, checked by lintian (no error allowed), unpacked
# into a temporary root, and used from there: a C program built through
# pkg-config and through find_package(tarnlink) talks to the packaged
# simulator, the packaged tool loads the packaged library, and the manual
# pages render without warnings.
#   scripts/package_test.sh [BUILD_DIR]     (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
dir=${1:-build-package}
jobs=$(nproc)

# Debian's flags, with the hardening of the linker too; CMake does not read
# CPPFLAGS, so they go with the compiler flags.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS -Werror" CXXFLAGS="$CXXFLAGS $CPPFLAGS -Werror"

echo "-- building the packages in $dir"
rm -f "$dir"/*.deb
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DTARNLINK_BUILD_TESTS=OFF -DTARNLINK_BUILD_BENCH=OFF -DTARNLINK_BUILD_FUZZ=OFF >/dev/null
log=$(mktemp)
root=$(mktemp -d)
pids=()
# Every process started here is ended by its id, also on failure or interrupt.
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$root" "$log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
if ! cmake --build "$dir" -j"$jobs" >"$log" 2>&1; then
  cat "$log"
  exit 1
fi
if grep -i 'warning' "$log"; then
  echo "FAIL: the build with Debian's flags gave warnings" >&2
  exit 1
fi
(cd "$dir" && cpack -G DEB >"$log" 2>&1) || { cat "$log"; exit 1; }
debs=("$dir"/*.deb)
for p in libtarnlink-dev tarnlink-tools; do
  ls "$dir/${p}_"*.deb >/dev/null
done

echo "-- lintian"
# Exit status 0: no error tag, and lintian itself ran to the end.
if ! lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >"$log" 2>&1 || grep -q '^E:' "$log"; then
  cat "$log"
  echo "FAIL: lintian reports errors" >&2
  exit 1
fi
grep -v 'root privileges' "$log" || true

for d in "${debs[@]}"; do dpkg -x "$d" "$root"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$root/usr/lib/$multiarch
tool=$root/usr/bin/tarnlink

# The library package is named after the SONAME: a new SONAME, a new package.
for lib in "$libdir"/libtarnlink_*.so.*.*; do
  soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  major=${soname##*.so.}
  if [ -z "$major" ] || ! ls "$dir/libtarnlink${major}_"*.deb >/dev/null 2>&1; then
    echo "FAIL: no package libtarnlink$major for $soname" >&2
    exit 1
  fi
done

# A simulator from the package, on a free port; its first line names the port,
# which goes into the variable VAR. Not in a command substitution: the
# process id must reach this shell's list, or nothing ends the simulator.
#   start_sim VAR LOG [sim options]
start_sim() {
  local var=$1 out=$2 port=""
  shift 2
  "$tool" sim --echo "$@" </dev/null >"$out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    port=$(grep -m 1 -oE '127\.0\.0\.1:[0-9]+' "$out" | cut -d: -f2 || true)
    [ -n "$port" ] && break
    sleep 0.05
  done
  printf -v "$var" '%s' "$port"
}
start_sim tcp_port "$root/sim_tcp.log" --listen 0
start_sim udp_port "$root/sim_udp.log" --udp 0
[ -n "$tcp_port" ] && [ -n "$udp_port" ] || { cat "$root"/sim_*.log; exit 1; }

# The consumer must use the unpacked library, not one of the build folder.
run_consumer() {
  local bin=$1 port=$2
  if ! LD_LIBRARY_PATH=$libdir ldd "$bin" | grep "=> $libdir/libtarnlink_" >/dev/null; then
    LD_LIBRARY_PATH=$libdir ldd "$bin"
    echo "FAIL: $bin does not load the packaged library" >&2
    exit 1
  fi
  LD_LIBRARY_PATH=$libdir timeout 20 "$bin" "$port"
}

echo "-- a C program through pkg-config"
for flavour in tcp udp; do
  def=""
  [ "$flavour" = udp ] && def=-DCONSUMER_UDP
  # The sysroot prefixes the packaged paths; cJSON comes from the system.
  # shellcheck disable=SC2046
  cc $CFLAGS -Wall -Wextra $def tests/package/consumer.c -o "$root/pc_$flavour" $LDFLAGS \
    $(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs "tarnlink_$flavour")
done
run_consumer "$root/pc_tcp" "$tcp_port"
run_consumer "$root/pc_udp" "$udp_port"

echo "-- a C program through find_package(tarnlink)"
cmake -S tests/package -B "$root/consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$root/consumer" >/dev/null
run_consumer "$root/consumer/consumer_tcp" "$tcp_port"
run_consumer "$root/consumer/consumer_udp" "$udp_port"

echo "-- the packaged tool with the packaged library"
LD_LIBRARY_PATH=$libdir timeout 20 "$tool" info -q --port "$tcp_port"
# Without the library path it looks for the installed soname, never for the
# libraries of the build folder it was built in.
if ! grep -q 'libtarnlink_tcp\.so\.1 ' <<<"$(/sbin/ldconfig -p)"; then
  if env -u TARNLINK_LIB timeout 20 "$tool" info -q --port "$tcp_port" >"$log" 2>&1 ||
    ! grep -q 'libtarnlink_tcp\.so\.1' "$log"; then
    cat "$log"
    echo "FAIL: the packaged tool loaded a driver library that is not installed" >&2
    exit 1
  fi
fi

if [ -f python/pyproject.toml ]; then
  # Debian's python3 finds packages in /usr/lib/python3/dist-packages.
  echo "-- the Python package"
  site=$root/usr/lib/python3/dist-packages
  if ! ls "$dir"/python3-tarnlink_*.deb >/dev/null 2>&1 || [ ! -f "$site/tarnlink/__init__.py" ]; then
    echo "FAIL: python3-tarnlink does not hold $site/tarnlink (install it with COMPONENT python)" >&2
    exit 1
  fi
  PYTHONPATH=$site LD_LIBRARY_PATH=$libdir /usr/bin/python3 -c 'import tarnlink; print("import tarnlink:", tarnlink.__file__)'
fi

echo "-- manual pages"
pages=$(find "$root/usr/share/man" -name '*.gz')
[ -n "$pages" ] || { echo "FAIL: no manual pages in the packages (is pandoc installed?)" >&2; exit 1; }
for page in $pages; do
  lexgrog "$page"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$warnings"
    echo "FAIL: $page renders with warnings" >&2
    exit 1
  fi
done
echo "-- packages passed: $(cd "$dir" && ls ./*.deb | tr '\n' ' ')"
