#!/usr/bin/env bash
# The main job: build the SDK, then play a few effects of an example pattern
# on an emulated vest over Wi-Fi, and show what the vest received. With
# --orv, the example drives the emulated vest from what a private JACK server
# (dummy driver) plays instead: audio to haptics. With --legacy, the example
# application plays through the legacy back-end and the vest lists the
# samples its board played, per slot.
#
# Wi-Fi discovery broadcasts on every network interface, so nothing here runs
# in this machine's own network namespace: the emulated vest runs in a
# private namespace, the example application in a second one nested in it,
# joined only by a veth pair with private addresses. Nothing can leave the
# machine. Making the namespaces needs root, or unprivileged user namespaces.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

build=build/release
emulator=$build/tools/vest-emulator/vbz-vest-emulator
app=$build/examples/vibrenza_vest_demo
sinks=$build/tools/jack-sinks/jack_sink_clients
pattern=examples/patterns/circle.json
out=build/demo
# The application's back-end: the default (streaming) or --legacy.
mode="${VBZ_DEMO_MODE:-}"
if [ "${1:-}" = "--legacy" ]; then mode=--legacy; shift; fi
export VBZ_DEMO_MODE="$mode"

# Second stage, inside the vest's private namespace (see the end of the file).
if [ "${1:-}" = "--inside" ]; then
  ip link set lo up
  # The application's namespace, held open by a sleeping process.
  unshare --net sleep 1000000 &
  holder=$!
  trap 'kill "$holder" 2>/dev/null || true; [ -n "${vest:-}" ] && kill "$vest" 2>/dev/null || true' EXIT
  for _ in $(seq 1 100); do
    [ "$(readlink "/proc/$holder/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.02
  done
  app_ns="/proc/$holder/ns/net"
  ip link add vbzvest type veth peer name vbzhost netns "$holder"
  ip addr add 10.213.0.1/24 broadcast + dev vbzvest
  ip link set vbzvest up
  nsenter --net="$app_ns" sh -c \
    'ip link set lo up && ip addr add 10.213.0.2/24 broadcast + dev vbzhost && ip link set vbzhost up'

  echo "== emulated vest on 10.213.0.1 (private namespace)"
  drawing=(--levels --wav "$out/vest.wav")
  # Nothing is streamed to draw; the pattern's one sample lasts its 2 s.
  [ "$mode" = "--legacy" ] && drawing=(--sample-ms 2000)
  "$emulator" --udp 0.0.0.0:33624 --serial 21030042 "${drawing[@]}" \
    >"$out/vest.out" 2>"$out/vest.err" &
  vest=$!
  for _ in $(seq 1 100); do grep -q "^serving on" "$out/vest.out" 2>/dev/null && break; sleep 0.05; done
  grep -q "^serving on" "$out/vest.out" || { echo "demo: the emulated vest did not start:"; cat "$out/vest.err"; exit 1; }

  # The link carries once both ends are up; discovery needs it.
  for _ in $(seq 1 100); do
    nsenter --net="$app_ns" ip -o link show vbzhost | grep -q "state UP" && break
    sleep 0.02
  done
  echo "== example application on 10.213.0.2 (second private namespace)"
  status=0
  if [ "${2:-}" = "--orv" ]; then
    # Audio to haptics: a private JACK server (dummy driver) whose "system"
    # output plays a sine; the application captures its loopback.
    server="vbzdemo$$"
    bash scripts/jack_test_server.sh start "$out/jack" "$server" "$sinks"
    [ -s "$out/jack/ready" ] || { echo "demo: no JACK server: $(cat "$out/jack/unavailable")"; exit 1; }
    export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1
    jack_simple_client >/dev/null 2>&1 &
    tone=$!
    nsenter --net="$app_ns" "$app" --wifi --orv system --seconds 8 || status=$?
    kill "$tone" 2>/dev/null || true
    bash scripts/jack_test_server.sh stop "$out/jack" "$server"
  else
    nsenter --net="$app_ns" "$app" --wifi $mode "$pattern" || status=$?
  fi

  kill -TERM "$vest"
  wait "$vest" || true
  vest=""
  echo
  echo "== what the vest received"
  cat "$out/vest.out" | grep -v "^serving on" || true
  grep -v "^host frame" "$out/vest.err" || true
  if grep -q "^host frame" "$out/vest.err"; then
    echo "demo: the vest found faults in what it received:"; grep "^host frame" "$out/vest.err"; status=1
  fi
  [ -s "$out/vest.wav" ] && echo "decoded signals (20 channels, 2000 Hz): $out/vest.wav"
  exit "$status"
fi

# Only what the three programs need is installed and built; the test command
# (scripts/test.sh) installs and builds the rest, in the same build tree.
targets=(vbz-vest-emulator vibrenza_vest_demo)
if [ "${1:-}" = "--orv" ]; then
  bash scripts/setup.sh demo --orv
  targets+=(jack_sink_clients)
else
  bash scripts/setup.sh demo
fi
config=(-DCMAKE_BUILD_TYPE=Release)
# A fresh tree leaves out the tests and benchmarks, whose libraries the demo
# does not install; a tree configured before keeps its choice (the test
# command turns them on), since the targets built here are the same.
[ -f "$build/CMakeCache.txt" ] || config+=(-DVBZ_BUILD_TESTS=OFF -DVBZ_BUILD_BENCH=OFF)
cmake -S "$root" -B "$build" -G Ninja "${config[@]}" >/dev/null
cmake --build "$build" -j "${VBZ_JOBS:-$(nproc)}" --target "${targets[@]}"
mkdir -p "$out"
rm -f "$out/vest.wav"

if [ "$(id -u)" -eq 0 ]; then
  isolate=(unshare --net)
elif unshare --user --map-root-user --net true 2>/dev/null; then
  isolate=(unshare --user --map-root-user --net)
else
  cat <<'TEXT'
demo: cannot make private network namespaces here, so the demo did not run.
  The emulated vest is found over Wi-Fi by broadcast, which must never leave this
  machine; the demo runs only inside namespaces of its own. Run it as root
  (sudo bash scripts/demo.sh), or allow unprivileged user namespaces
  (sysctl kernel.unprivileged_userns_clone=1). Nothing was sent.
TEXT
  exit 1
fi
exec "${isolate[@]}" bash "$root/scripts/demo.sh" --inside "$@"
