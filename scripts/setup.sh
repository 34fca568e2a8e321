#!/usr/bin/env bash
# Installs what the build, the tests and the demo need, only when missing.
# Idempotent and non-interactive.
set -euo pipefail

packages=(
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libhidapi-dev portaudio19-dev libbluetooth-dev libsystemd-dev
  libjack-jackd2-dev jackd2
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  iproute2 util-linux
  dbus-daemon python3-dbusmock
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  # jackd2 asks about real-time priority at install time; answer it up front.
  echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections || true
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
