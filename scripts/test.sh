#!/usr/bin/env bash
# The project's test command: set-up, Release build and tests, then the same
# tests in an ASan+UBSan build and in a ThreadSanitizer build
# (scripts/tsan.sh), then a short smoke of each fuzz target
# (scripts/fuzz.sh). Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
# The audio tests start a private JACK server (dummy driver); here they must
# run for real, so a server that cannot start is a failure, not a skip.
export VBZ_REQUIRE_JACK=1
# The socket tests make private network namespaces; here they must run for
# real (CI runs as root), so a namespace that cannot be made is a failure.
export VBZ_REQUIRE_NETNS=1
# The Bluetooth list tests start a private dbus-daemon with a stand-in for
# bluetoothd (python3-dbusmock); here they must run, not skip.
export VBZ_REQUIRE_DBUS=1
# Test binaries that can reach Wi-Fi discovery report here in which network
# namespace they ran; scripts/netns.sh audit fails the run if one ran in
# this (the root) namespace.
audit_dir="$(mktemp -d)"
trap 'rm -rf "$audit_dir"' EXIT

echo "== Release build =="
# The demo may have configured this tree without its tests and benchmarks.
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DVBZ_WERROR=ON \
  -DVBZ_BUILD_TESTS=ON -DVBZ_BUILD_BENCH=ON -DVBZ_BUILD_EXAMPLES=ON
echo "== Release tests =="
VBZ_NETNS_AUDIT="$audit_dir/release" ctest --test-dir build/release -j "$jobs" --output-on-failure
bash scripts/netns.sh audit build/release -- "$audit_dir/release"

echo "== ASan+UBSan build =="
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DVBZ_WERROR=ON -DVBZ_SANITIZE=ON \
  -DVBZ_BUILD_BENCH=OFF -DVBZ_BUILD_EXAMPLES=OFF
echo "== ASan+UBSan tests =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  VBZ_NETNS_AUDIT="$audit_dir/asan" ctest --test-dir build/asan -j "$jobs" --output-on-failure
bash scripts/netns.sh audit build/asan -- "$audit_dir/asan"

bash scripts/tsan.sh build/tsan

# A short run of each fuzz target (when clang can build them).
bash scripts/fuzz.sh smoke 30
