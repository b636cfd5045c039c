#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
set -euo pipefail
packages=(cmake g++ make pkg-config libcjson-dev libgtest-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  clang-format-14 clang-tidy-14)
# The Python package, its tests and its installation.
packages+=(python3-can python3-pytest python3-flake8 python3-pip python3-setuptools python3-venv)
# The Debian packages, their checks and the manual pages.
packages+=(lintian dpkg-dev fakeroot file pandoc man-db)
# ip netns: the dead-link test (it skips without it).
packages+=(iproute2)
# MQTT: the bridge's client library, and the broker, clients and certificates of its tests.
packages+=(libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt openssl)
# tshark: the Wireshark tests read our captures and run our extcap program.
packages+=(tshark)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Wireshark's package asks whether to make dumpcap setuid: no, without asking.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
