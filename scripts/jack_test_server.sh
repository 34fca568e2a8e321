#!/usr/bin/env bash
# jack_test_server.sh start|stop|reclaim|sinks <state dir> <server name> [<sink helper>]
# (VBZ_JACK_PERIOD: the period in frames, 480 when unset)
#
# Starts a private JACK server (dummy driver: no sound card, no root, no
# real-time) under its own server name, plus the helper clients that act like
# desktop sinks with monitor ports, for the audio tests. Writes <state
# dir>/ready when everything runs, or <state dir>/unavailable with the reason;
# "start" itself always succeeds so that the tests can report a skip. "stop"
# ends only the processes that "start" recorded. "sinks" starts the sinks
# again on a running server (after a test stopped them); they are ready
# once <state dir>/sinks-again.log says "ready".
set -uo pipefail
action="$1"; state="$2"; server="$3"; helper="${4:-}"
mkdir -p "$state"
# A stereo desk speaker and a 20-channel device that the vest filter matches.
sinks="DeskSpeakers:2 VibrenzaVest:20"

# spawn <pid file> <log> <command...>: starts the command in a session of
# its own, under a bash that waits for it, and writes the command's pid.
# Its end is then seen at once: an orphan stays a zombie until init reaps
# it, which some sandboxes do only every two seconds, and until then kill -0
# (and libjack's registry of servers) takes it for a running process.
spawn() {
  local pidfile="$1" log="$2"; shift 2
  rm -f "$pidfile"
  setsid bash -c 'log="$1"; pidfile="$2"; shift 2
    "$@" </dev/null >"$log" 2>&1 &
    echo $! > "$pidfile.new" && mv "$pidfile.new" "$pidfile"
    wait' spawn "$log" "$pidfile" "$@" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 1 100); do [ -s "$pidfile" ] && return 0; sleep 0.01; done
  return 1
}

stop_recorded() {
  for f in "$state/sinks.pid" "$state/jackd.pid"; do
    if [ -s "$f" ]; then
      pid="$(cat "$f")"
      kill "$pid" 2>/dev/null || true
      # A server that stops while a client's request waits for a cycle
      # answers it only after ten times its client timeout (5 s), then waits
      # up to a second for each client still open. Killed, it would keep its
      # entry in libjack's registry of servers (eight for the machine).
      tries=50; [ "$f" = "$state/jackd.pid" ] && tries=200
      for _ in $(seq 1 "$tries"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$f"
  done
  rm -f "$state/ready"
}

unavailable() {
  echo "$1" > "$state/unavailable"
  echo "jack_test_server: $1 (the JACK-backed tests will be skipped)"
  stop_recorded
  exit 0
}

case "$action" in
  stop)
    stop_recorded
    exit 0 ;;
  reclaim)
    # A server killed (or dead of SIGPIPE on its way out) keeps its entry in
    # libjack's registry of servers, eight for the machine, until a server
    # of the same name starts: one started and stopped in order frees it.
    stop_recorded
    command -v jackd >/dev/null || exit 0
    spawn "$state/jackd.pid" "$state/jackd.log" \
      jackd -n "$server" --no-realtime -d dummy -r 48000 -p 480 -C 0 -P 2
    for _ in $(seq 1 100); do
      jack_lsp -s "$server" >/dev/null 2>&1 && break
      kill -0 "$(cat "$state/jackd.pid")" 2>/dev/null || break
      sleep 0.1
    done
    stop_recorded
    exit 0 ;;
  sinks)
    rm -f "$state/sinks-again.log"
    spawn "$state/sinks.pid" "$state/sinks-again.log" "$helper" "$server" $sinks
    exit $? ;;
  start) ;;
  *) echo "usage: $0 start|stop|reclaim|sinks <state dir> <server name> [<sink helper>]" >&2; exit 2 ;;
esac

stop_recorded
rm -f "$state/unavailable"
command -v jackd >/dev/null || unavailable "jackd is not installed"
command -v jack_lsp >/dev/null || unavailable "jack_lsp is not installed"
[ -x "$helper" ] || unavailable "sink helper '$helper' is missing"

export JACK_NO_START_SERVER=1
# 24 playback channels with monitor ports, no capture: "system" is the default
# output and has a loopback of its own.
period="${VBZ_JACK_PERIOD:-480}"
spawn "$state/jackd.pid" "$state/jackd.log" \
  jackd -n "$server" --no-realtime -d dummy -r 48000 -p "$period" -C 0 -P 24 -m
up=0
for _ in $(seq 1 100); do
  if jack_lsp -s "$server" 2>/dev/null | grep -q '^system:playback_1$'; then up=1; break; fi
  kill -0 "$(cat "$state/jackd.pid")" 2>/dev/null || break
  sleep 0.1
done
[ "$up" = 1 ] || unavailable "jackd did not start: $(tail -n 3 "$state/jackd.log" | tr '\n' ' ')"

spawn "$state/sinks.pid" "$state/sinks.log" "$helper" "$server" $sinks
up=0
for _ in $(seq 1 100); do
  if grep -q '^ready$' "$state/sinks.log" 2>/dev/null; then up=1; break; fi
  kill -0 "$(cat "$state/sinks.pid")" 2>/dev/null || break
  sleep 0.1
done
[ "$up" = 1 ] || unavailable "the sink clients did not start: $(tail -n 3 "$state/sinks.log" | tr '\n' ' ')"
echo "$server" > "$state/ready"
echo "jack_test_server: server '$server' running with DeskSpeakers and VibrenzaVest"
