#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libtinyxml2-dev zlib1g-dev libmodbus-dev libpaho-mqtt-dev libssl-dev
  libeigen3-dev libxml2-utils coreutils
  tshark qemu-system-x86 cpio xz-utils python3
  clang libclang-rt-14-dev socat
  mbpoll python3-pymodbus python3-serial-asyncio
  mosquitto mosquitto-clients openssl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
