#!/usr/bin/env bash
# setup.sh [demo [--orv]]: installs what is needed, only when missing.
# Idempotent and non-interactive.
#   (no argument)  everything the build, the tests, the benchmarks and the
#                  fuzz targets need (scripts/test.sh)
#   demo           only what the library, the emulated vest and the example
#                  application need (scripts/demo.sh); --orv adds the JACK
#                  server and its example clients
set -euo pipefail

# The library, the vest emulator and the example, and the tools that make the
# demo's network namespaces.
base=(
  build-essential g++ cmake ninja-build pkg-config
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libhidapi-dev portaudio19-dev libasound2-dev libbluetooth-dev libsystemd-dev
  libjack-jackd2-dev
  iproute2 util-linux
)
jack_server=(jackd2)
# The tests, the benchmarks, the sanitizer and fuzzing builds.
tests=(
  clang libclang-rt-14-dev git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  dbus-daemon python3-dbusmock
)

case "${1:-}" in
  "") packages=("${base[@]}" "${jack_server[@]}" "${tests[@]}") ;;
  demo)
    packages=("${base[@]}")
    if [ "${2:-}" = "--orv" ]; then packages+=("${jack_server[@]}"); fi ;;
  *) echo "usage: $0 [demo [--orv]]" >&2; exit 2 ;;
esac

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
