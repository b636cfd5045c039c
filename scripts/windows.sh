#!/usr/bin/env bash
# Windows builds with Debian's MinGW-w64 cross compilers: both DLLs, their
# import libraries and the Windows tests for x64 (build-windows/) and the DLLs
# for 32-bit x86 (build-windows-x86/); then the export tables are checked and
# the tests run under wine64 (64-bit only: Debian's 32-bit Wine runtime is a
# separate architecture).
#
#   scripts/windows.sh [--no-test]
#
# Installs what it needs from Debian when run as root. cJSON and GoogleTest
# are built from Debian's own sources (the cjson source package, the
# googletest package) into the build folders.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run_tests=1
check_only=0
case "${1:-}" in
  --no-test) run_tests=0 ;;
  --check) check_only=1 ;;  # can it run here? (exit 77 and the reason if not)
esac
# Exit 77 with the reason on one line: this machine cannot run the stage
# (scripts/test.sh counts that as a skip, or as a failure under CI=true).
cannot_run() {
  echo "windows.sh: $*" >&2
  exit 77
}
jobs=${TARNLINK_JOBS:-2}

packages=(cmake make dpkg-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest)
[ $run_tests -eq 1 ] && packages+=(wine64)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done

as_root() {
  if [ "$(id -u)" -ne 0 ]; then
    cannot_run "$1; run as root, or install: ${missing[*]}"
  fi
}
if [ $check_only -eq 1 ]; then
  command -v apt-get >/dev/null || cannot_run "no apt-get (not a Debian system)"
  [ ${#missing[@]} -eq 0 ] || as_root "missing packages"
  # Without package lists yet (a fresh machine), the install will tell.
  compgen -G "/var/lib/apt/lists/*Packages*" >/dev/null || exit 0
  # Read whole before grep: `apt-cache ... | grep -q` under pipefail fails
  # whenever grep ends first and apt-cache dies of SIGPIPE.
  for p in "${missing[@]}"; do
    policy=$(apt-cache policy "$p" 2>/dev/null || true)
    grep -q 'Candidate: [0-9]' <<<"$policy" || cannot_run "package $p is not available from the apt sources"
  done
  exit 0
fi

# The deb-src twin of the first Debian archive in the apt sources.
add_source_entry() {
  local uri suite keyring
  if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
    read -r uri suite keyring < <(awk '
      /^URIs:/ { u = $2 } /^Suites:/ { s = $2 } /^Signed-By:/ { k = $2 }
      /^$/ { if (u ~ /debian$/ && s != "") { print u, s, k; exit } u = s = k = "" }
      END { if (u ~ /debian$/ && s != "") print u, s, k }' /etc/apt/sources.list.d/*.sources | head -n1)
  fi
  if [ -z "${uri:-}" ] && [ -f /etc/apt/sources.list ]; then
    read -r uri suite < <(awk '$1 == "deb" && $2 !~ /^\[/ { print $2, $3; exit }' /etc/apt/sources.list)
  fi
  [ -n "${uri:-}" ] || cannot_run "no Debian archive in the apt sources"
  local options=""
  [ -n "${keyring:-}" ] && options="[signed-by=$keyring] "
  echo "deb-src ${options}$uri $suite main" >/etc/apt/sources.list.d/tarnlink-deb-src.list
  echo "Added: deb-src ${options}$uri $suite main"
}

need_update=0
if [ ${#missing[@]} -gt 0 ]; then
  as_root "missing packages"
  need_update=1
fi
sources=$(apt-cache showsrc cjson 2>/dev/null || true)
if ! grep -q '^Package: cjson' <<<"$sources"; then
  as_root "no deb-src entry for the cjson source package"
  add_source_entry
  need_update=1
fi
if [ $need_update -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-$(command -v ccache || true)}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-$(command -v ccache || true)}

# cross_deps <build folder> <toolchain> <with gtest>: Debian's sources,
# cross-built and installed into <build folder>/deps.
cross_deps() {
  local dir=$1 toolchain=$2 gtest=$3 deps=$1/deps
  mkdir -p "$deps"
  if [ ! -f "$deps/cjson-src/cJSON.c" ]; then
    rm -rf "$deps/cjson-fetch" "$deps/cjson-src"
    mkdir -p "$deps/cjson-fetch"
    (cd "$deps/cjson-fetch" && apt-get source -qq cjson 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
    mv "$(find "$deps/cjson-fetch" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n1)" "$deps/cjson-src"
    rm -rf "$deps/cjson-fetch"
  fi
  if [ ! -f "$deps/install/lib/libcjson.a" ]; then
    # Static, stdcall and not dllexport: each DLL links it in and exports it.
    cmake -S "$deps/cjson-src" -B "$deps/cjson-build" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps/install" -DBUILD_SHARED_LIBS=OFF \
      -DENABLE_CJSON_TEST=OFF -DENABLE_PUBLIC_SYMBOLS=OFF -DENABLE_HIDDEN_SYMBOLS=ON \
      -DENABLE_CUSTOM_COMPILER_FLAGS=OFF -Wno-dev >/dev/null
    cmake --build "$deps/cjson-build" -j"$jobs" >/dev/null
    cmake --install "$deps/cjson-build" >/dev/null
  fi
  if [ "$gtest" = 1 ] && [ ! -f "$deps/install/lib/libgtest.a" ]; then
    cmake -S /usr/src/googletest -B "$deps/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps/install" -DBUILD_GMOCK=OFF \
      -Dgtest_disable_pthreads=OFF -Wno-dev >/dev/null
    cmake --build "$deps/gtest-build" -j"$jobs" >/dev/null
    cmake --install "$deps/gtest-build" >/dev/null
  fi
}

configure() {
  local dir=$1 toolchain=$2 tests=$3 gtest=()
  [ "$tests" = ON ] && gtest=(-DGTest_DIR="$root/$dir/deps/install/lib/cmake/GTest")
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DcJSON_DIR="$root/$dir/deps/install/lib/cmake/cJSON" "${gtest[@]}" \
    -DTARNLINK_BUILD_TESTS="$tests" -DTARNLINK_BUILD_TOOLS="$tests" -DTARNLINK_BUILD_BENCH=OFF >/dev/null
}

echo "== Windows x64 (build-windows)"
cross_deps build-windows cmake/mingw-x86_64.cmake 1
configure build-windows cmake/mingw-x86_64.cmake ON
cmake --build build-windows -j"$jobs" --target tarnlink_tcp tarnlink_udp windows_test protocol_test \
  c_header_test device_e2e_test tarnlink

echo "== Windows x86 (build-windows-x86)"
cross_deps build-windows-x86 cmake/mingw-i686.cmake 0
configure build-windows-x86 cmake/mingw-i686.cmake OFF
cmake --build build-windows-x86 -j"$jobs" --target tarnlink_tcp tarnlink_udp

echo "== export tables"
for lib in tarnlink_tcp tarnlink_udp; do
  python3=/usr/bin/python3
  "$python3" tests/windows/check_exports.py --objdump x86_64-w64-mingw32-objdump \
    --header build-windows/deps/install/include/cjson/cJSON.h build-windows/api/$lib.dll
  "$python3" tests/windows/check_exports.py --objdump i686-w64-mingw32-objdump --x86 \
    --header build-windows-x86/deps/install/include/cjson/cJSON.h build-windows-x86/api/$lib.dll
done

echo "== 32-bit import library: a C program linked against it imports the plain names"
x86_exe=build-windows-x86/c_header_test.exe
i686-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -Iinclude -Ibuild-windows-x86/deps/install/include \
  tests/api/c_header_test.c tests/windows/cjson_import.c build-windows-x86/api/libtarnlink_tcp.dll.a -o "$x86_exe"
imports=$(i686-w64-mingw32-objdump -p "$x86_exe" | sed -n '/DLL Name: tarnlink_tcp.dll/,/^$/p')
for name in VELA_OpenDevice VELA_GetReceiveNum ReleaseIProperty _cJSON_Parse@4 _cJSON_Delete@4; do
  grep -qE "[0-9]+ +$name\$" <<<"$imports" || { echo "$x86_exe does not import $name" >&2; exit 1; }
done
echo "$x86_exe imports by the DLLs' names"

[ $run_tests -eq 1 ] || exit 0
echo "== Linux tool for the cross-system check (build)"
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target tarnlink >/dev/null
echo "== Windows tests under Wine"
TARNLINK_LINUX_TOOL="$root/build/tools/cli/tarnlink" tests/windows/run_wine.sh build-windows
