#!/usr/bin/env bash
# Private network namespaces for trying the Wi-Fi link by hand, for the demo
# and for the test command. Wi-Fi discovery broadcasts on every interface of
# the namespace it runs in: run anything that can reach it (a scan, an open
# with an empty address, the emulator serving over UDP) only in a namespace
# made here, never in the root namespace. Needs root (or CAP_SYS_ADMIN).
#
#   netns.sh up NAME           two namespaces NAME-vest and NAME-host joined by
#                              a veth pair: vest side 10.213.0.1/24, host side
#                              10.213.0.2/24, loopback up in both; nothing
#                              else, no route out
#   netns.sh down NAME         removes both (the veth pair goes with them)
#   netns.sh exec NAME SIDE CMD...
#                              runs CMD in NAME-vest or NAME-host (SIDE: vest
#                              or host)
#   netns.sh isolate CMD...    runs CMD in a fresh namespace with only
#                              loopback up, gone when CMD ends
#   netns.sh audit LIST...     checks VBZ_NETNS_AUDIT files (see
#                              tests/support/NetNamespace.h) against the test
#                              executables of the build directories given
#                              before them: BUILD_DIR... -- AUDIT_FILE...
#
# Example, an emulated vest and a scan that can only see each other:
#   sudo scripts/netns.sh up demo
#   sudo scripts/netns.sh exec demo vest build/release/tools/vest-emulator/vbz-vest-emulator --udp 0.0.0.0:33624 &
#   sudo scripts/netns.sh exec demo host <program that scans>
#   sudo scripts/netns.sh down demo
set -euo pipefail

readonly VEST_ADDRESS=10.213.0.1/24
readonly HOST_ADDRESS=10.213.0.2/24

die() { echo "netns.sh: $*" >&2; exit 1; }

need_root() {
  [ "$(id -u)" -eq 0 ] || die "needs root to make network namespaces; nothing was run"
}

valid_name() {
  [[ "$1" =~ ^[A-Za-z0-9_]{1,8}$ ]] || die "NAME must be 1 to 8 letters, digits or _"
}

cmd_up() {
  need_root
  local name="$1"; valid_name "$name"
  local vest="$name-vest" host="$name-host"
  ip netns add "$vest"
  # Whatever fails from here on, nothing is left behind.
  trap 'ip netns del "$vest" 2>/dev/null || true; ip netns del "$host" 2>/dev/null || true' ERR
  ip netns add "$host"
  # The pair is made inside the host namespace and its peer moved straight
  # into the vest namespace: it never exists in the root namespace.
  ip -n "$host" link add "vbz-$name-h" type veth peer name "vbz-$name-v" netns "$vest"
  ip -n "$vest" link set lo up
  ip -n "$host" link set lo up
  ip -n "$vest" addr add "$VEST_ADDRESS" broadcast + dev "vbz-$name-v"
  ip -n "$host" addr add "$HOST_ADDRESS" broadcast + dev "vbz-$name-h"
  ip -n "$vest" link set "vbz-$name-v" up
  ip -n "$host" link set "vbz-$name-h" up
  trap - ERR
  echo "netns.sh: $vest (${VEST_ADDRESS%/*}) and $host (${HOST_ADDRESS%/*}) are up"
}

cmd_down() {
  need_root
  local name="$1"; valid_name "$name"
  ip netns del "$name-vest" 2>/dev/null || true
  ip netns del "$name-host" 2>/dev/null || true
}

cmd_exec() {
  need_root
  local name="$1" side="$2"; shift 2
  valid_name "$name"
  case "$side" in vest|host) ;; *) die "SIDE must be vest or host" ;; esac
  [ -e "/run/netns/$name-$side" ] || die "no namespace $name-$side (run: netns.sh up $name)"
  exec ip netns exec "$name-$side" "$@"
}

cmd_isolate() {
  need_root
  exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' netns-isolate "$@"
}

# Every test executable of the build directories that contains the Wi-Fi
# transport (the tag of its log lines) can reach discovery. Each must have
# reported, through the audit files, that it ran in a namespace other than
# the one it was started in; and as root, that it could make one at all.
cmd_audit() {
  local dirs=() files=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do dirs+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  files=("$@")
  [ ${#dirs[@]} -gt 0 ] && [ ${#files[@]} -gt 0 ] || die "usage: audit BUILD_DIR... -- AUDIT_FILE..."
  local audit; audit="$(cat "${files[@]}" 2>/dev/null || true)"
  local root_ns; root_ns="$(stat -L -c %i /proc/self/ns/net)"
  local failed=0 checked=0 exe
  while IFS= read -r exe; do
    local reaches=0 lib
    if grep -q "WIFIStandalone" "$exe"; then reaches=1; fi
    # ...or through a library of the project it loads.
    while IFS= read -r lib; do
      case "$lib" in /lib/*|/lib64/*|/usr/*) ;; *) grep -q "WIFIStandalone" "$lib" && reaches=1 ;; esac
    done < <(ldd "$exe" 2>/dev/null | awk '$3 ~ /^\// {print $3}')
    [ "$reaches" -eq 1 ] || continue
    checked=$((checked + 1))
    local lines; lines="$(grep -F "$(readlink -f "$exe") " <<<"$audit" || true)"
    if [ -z "$lines" ]; then
      echo "netns audit: $exe can reach discovery but never reported its namespace" \
           "(link tests/support/NetNamespace.cpp)" >&2
      failed=1; continue
    fi
    if grep -q "now=$root_ns\$" <<<"$lines"; then
      echo "netns audit: $exe ran in the root network namespace" >&2
      failed=1
    fi
    if grep -q "isolated=0" <<<"$lines"; then
      if [ "$(id -u)" -eq 0 ]; then
        echo "netns audit: $exe could not make a network namespace although run as root" >&2
        failed=1
      else
        echo "netns audit: $exe skipped its tests (no privilege to make a network namespace)"
      fi
    fi
  done < <(find "${dirs[@]}" -path '*/tests/*' -type f -perm -u+x ! -name '*.so*' \
             ! -path '*/CMakeFiles/*' 2>/dev/null | sort)
  [ "$checked" -gt 0 ] || { echo "netns audit: no test executable contains the Wi-Fi transport" >&2; exit 1; }
  [ "$failed" -eq 0 ] || exit 1
  echo "netns audit: $checked test executable(s) that can reach discovery ran only in private network namespaces"
}

[ $# -ge 1 ] || die "usage: netns.sh up|down|exec|isolate|audit ..."
command="$1"; shift
case "$command" in
  up)      [ $# -eq 1 ] || die "usage: netns.sh up NAME"; cmd_up "$1" ;;
  down)    [ $# -eq 1 ] || die "usage: netns.sh down NAME"; cmd_down "$1" ;;
  exec)    [ $# -ge 3 ] || die "usage: netns.sh exec NAME vest|host CMD..."; cmd_exec "$@" ;;
  isolate) [ $# -ge 1 ] || die "usage: netns.sh isolate CMD..."; cmd_isolate "$@" ;;
  audit)   cmd_audit "$@" ;;
  *)       die "unknown command $command" ;;
esac
