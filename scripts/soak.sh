#!/usr/bin/env bash
# soak.sh [SECONDS] [PERIOD_MS]: a long run against the emulated vest over
# Wi-Fi (not part of the test command). Plays an effect with random
# properties every PERIOD_MS (default 100) for SECONDS (default 300), and
# prints the resident memory, threads and open file descriptors of the
# application (tools/soak) and of the emulated vest at the start, half-way
# and at the end, with the vest's request count.
#
# Wi-Fi discovery broadcasts: both ends run only in a pair of network
# namespaces made here (scripts/netns.sh), joined by a veth pair and
# removed at the end. Needs root.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
seconds="${1:-300}"
period="${2:-100}"
emulator=build/release/tools/vest-emulator/vbz-vest-emulator
driver=build/release/tools/soak/vbz-soak
patterns=(examples/patterns/circle.json tests/fuzz/corpus/fuzz_engine_render/two_tracks.json
          tests/fuzz/corpus/fuzz_engine_render/endless.json)

[ "$(id -u)" -eq 0 ] || { echo "soak: needs root to make its network namespaces; nothing was run"; exit 1; }
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release >/dev/null  # VBZ_JOBS: build jobs

name="soak$((RANDOM % 10000))"
out="$(mktemp -d)"
vest=""
cleanup() {
  [ -n "$vest" ] && kill "$vest" 2>/dev/null || true
  bash scripts/netns.sh down "$name"
  rm -rf "$out"
}
trap cleanup EXIT
bash scripts/netns.sh up "$name"

# Resident memory, threads and file descriptors of a process.
resources() {
  local pid="$1"
  local rss threads fds
  rss="$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")"
  threads="$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")"
  fds="$(ls "/proc/$pid/fd" | wc -l)"
  echo "rss_kb=$rss threads=$threads fds=$fds"
}

bash scripts/netns.sh exec "$name" vest "$emulator" --udp 0.0.0.0:33624 >"$out/vest.out" 2>"$out/vest.err" &
vest=$!
for _ in $(seq 1 100); do grep -q "^serving on" "$out/vest.out" 2>/dev/null && break; sleep 0.05; done
grep -q "^serving on" "$out/vest.out" || { echo "soak: the emulated vest did not start:"; cat "$out/vest.err"; exit 1; }

# Discovery needs the link to carry: wait until both ends are up.
for _ in $(seq 1 100); do
  ip -n "$name-host" -o link show | grep -q "vbz-$name-h.*state UP" && break
  sleep 0.05
done

echo "soak: ${seconds}s, an effect every ${period} ms"
bash scripts/netns.sh exec "$name" host "$driver" --wifi "$seconds" "$period" "${patterns[@]}" \
  >"$out/app.out" 2>"$out/app.err" &
app=$!
for _ in $(seq 1 300); do grep -q "^start:" "$out/app.out" 2>/dev/null && break; sleep 0.05; done
vest_start="$(resources "$vest")"
vest_middle=""
while kill -0 "$app" 2>/dev/null; do
  if [ -z "$vest_middle" ] && grep -q "^middle:" "$out/app.out" 2>/dev/null; then
    vest_middle="$(resources "$vest")"
  fi
  sleep 0.2
done
status=0
wait "$app" || status=$?
vest_end="$(resources "$vest")"
kill -TERM "$vest"
wait "$vest" || true
vest=""

echo "application $(grep '^start:' "$out/app.out" || echo 'start: (none)')"
echo "application $(grep '^middle:' "$out/app.out" || echo 'middle: (none)')"
echo "application $(grep '^end:' "$out/app.out" || echo 'end: (none)')"
grep -v '^start:\|^middle:\|^end:' "$out/app.out" || true
echo "vest start: $vest_start"
echo "vest middle: $vest_middle"
echo "vest end: $vest_end"
grep '^stream:' "$out/vest.err" || true
if grep -q '^host frame' "$out/vest.err"; then
  echo "soak: the vest found faults in what it received:"; grep '^host frame' "$out/vest.err" | head -20; status=1
fi
[ -s "$out/app.err" ] && { echo "soak: the application said:"; head -40 "$out/app.err"; }
exit "$status"
