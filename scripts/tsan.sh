#!/usr/bin/env bash
# tsan.sh [build-dir]: the whole test suite in a ThreadSanitizer build
# (default build/tsan). Part of the test command (scripts/test.sh); runs
# alone too, after scripts/setup.sh. Any race, lock-order inversion or
# other TSan report fails its test. The only suppression (scripts/tsan.supp)
# is for JACK's shared-memory port buffers, which JACK orders where TSan
# cannot see.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
dir="${1:-build/tsan}"
jobs="${VBZ_JOBS:-$(nproc)}"

export VBZ_REQUIRE_JACK="${VBZ_REQUIRE_JACK:-1}"
export VBZ_REQUIRE_NETNS="${VBZ_REQUIRE_NETNS:-1}"
audit_dir="$(mktemp -d)"
trap 'rm -rf "$audit_dir"' EXIT

echo "== ThreadSanitizer build =="
# Optimised (with debug information): TSan's own cost is high enough.
bash scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBZ_WERROR=ON \
  -DVBZ_SANITIZE=thread -DVBZ_BUILD_BENCH=OFF -DVBZ_BUILD_EXAMPLES=OFF
echo "== ThreadSanitizer tests =="
TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
  VBZ_NETNS_AUDIT="$audit_dir/tsan" ctest --test-dir "$dir" -j "$jobs" --output-on-failure
bash scripts/netns.sh audit "$dir" -- "$audit_dir/tsan"
