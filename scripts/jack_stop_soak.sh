#!/usr/bin/env bash
# jack_stop_soak.sh [build dir] [rounds] [seed] [stop|stall|stall-connect|stall-storm]:
# many rounds of an audio connection and of an audio-to-haptics one on a
# JACK server of their own that stops (SIGTERM) or dies (SIGKILL) at a
# random moment of each round, or with "stall" stalls there (SIGSTOP, then
# SIGCONT 0.3-1 s later) and is connected to again at once; "stall-connect"
# stalls it 600 ms from 60-110 ms into every connect, "stall-storm" for
# 5-40 ms again and again from the connect to the next one (so that jackd
# refuses some of the clients that open meanwhile)
# (tests/sdk/capi/AudioServerStop_test.cpp). Rounds per connection kind:
# 100 by default. Works on any build of the tests (Release, ASan, TSan: the
# sanitizer options are set as scripts/test.sh and scripts/tsan.sh set
# them). Prints the worst disconnect-and-free time of each kind (and, with
# "stall", the failed connects and the worst wait of the next connect after
# the stall ended); fails when a round hangs or fails, the process aborts or
# a sanitizer reports. The server also goes away during the connect, where
# PortAudio itself may abort (see the test).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$(cd "${1:-$root/build/release}" && pwd)"
rounds="${2:-100}"
seed="${3:-$RANDOM}"
mode="${4:-stop}"
case "$mode" in
  stop) what=Stopping ;;
  stall) what=Stalling ;;
  stall-connect) what=Stalling; export VBZ_JACK_STALLS=connect ;;
  stall-storm) what=Stalling; export VBZ_JACK_STALLS=storm ;;
  *) echo "usage: $0 [build dir] [rounds] [seed] [stop|stall|stall-connect|stall-storm]" >&2; exit 2 ;;
esac
binary="$dir/tests/sdk/capi/sdk_capi_jack_stop_tests"
[ -x "$binary" ] || { echo "jack_stop_soak: $binary is not built" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export VBZ_REQUIRE_JACK=1 VBZ_REQUIRE_NETNS=1
export VBZ_JACK_STOP_ROUNDS="$rounds" VBZ_JACK_STOP_SEED="$seed" VBZ_JACK_STOP_AT_CONNECT=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-suppressions=$root/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1}"

status=0
for kind in AnAudioConnection AnOrvAudioConnection; do
  log="$work/$kind.log"
  # Each round restarts the server: up to about 10 s when it stopped with a
  # request of ours on its way.
  if ! (cd "$work" && timeout $((rounds * 30 + 60)) "$binary" --gtest_filter="*.${kind}WithTheServer$what*" \
      >"$log" 2>&1); then
    status=1
    echo "jack_stop_soak: $kind FAILED (seed $seed, $mode); the end of its output:"
    tail -n 30 "$log"
  fi
  grep -E '^round ' "$log" | awk -v kind="$kind" -v mode="$mode" '
    { split($0, a, "freed "); f = a[2] + 0; if (f > worst) { worst = f; which = $0 } n++ }
    { failed += gsub(/FAILED/, "&") }
    / at disconnect: / { split($0, b, "s after the stall ended"); k = split(b[1], c, " ");
                         w = c[k] + 0; if (w > late) { late = w; lateWhich = $0 } }
    END { printf "%s: %d rounds, worst disconnect and free %.3f s (%s)\n", kind, n, worst, which
          if (mode != "stop") printf "%s: %d failed connects\n", kind, failed
          if (lateWhich != "") printf "%s: worst next connect after a stall at the disconnect: %.3f s after it ended (%s)\n", kind, late, lateWhich }'
done
exit "$status"
