#!/usr/bin/env bash
# A real WireGuard tunnel, in its own network namespaces: the helper's testing
# build runs the tunnel scripts for the stand-in, an ordinary user admitted by
# its group. The kill switch is on before connect, so the tunnel is built behind
# it; connected only after the handshake, a ping through the tunnel, nothing but
# the tunnel's own packets reaches the relay (counted on the relay's side), a
# dead tunnel leaks nothing with the kill switch on and passes with it off, a
# helper killed during the up step leaves the stand-in in error rather than
# simulating, and quit leaves no namespace, link, table, key file or process.
#   tunnel.sh HELPER_TESTING STANDIN
set -euo pipefail
source "$(dirname "$0")/lib.sh"
helper=$1
standin=$2
scripts="$(cd "$(dirname "$0")/../../tools/tunnel" && pwd)"

[ "$(id -u)" = 0 ] || skip "needs root: network namespaces, wireguard-go and the helper"
need_tools wireguard-go wg nft ip ping setpriv
[ -c /dev/net/tun ] || skip "no /dev/net/tun for wireguard-go"
unshare --net true 2>/dev/null || skip "cannot make a network namespace here"

# The stand-in runs as nobody with only its own group, which the helper admits.
user_id=$(id -u nobody)
group_id=$(id -g nobody)
group=$(getent group "$group_id" | cut -d: -f1)
chmod 711 "$work"
as_user=(setpriv --reuid="$user_id" --regid="$group_id" --clear-groups --)
if ! "${as_user[@]}" test -x "$standin"; then
  echo "nobody cannot reach $standin (a private build tree?): the stand-in runs as root"
  as_user=()
  user_id=0
fi
install -d -o "$user_id" -m 700 "$work/user"

# start_helper OUTPUT: the helper on the test's socket, its pid in helper_pid.
start_helper() {
  VELTOVPN_HELPER_SOCKET="$work/helper.sock" VELTOVPN_HELPER_LOG="$work/helper.log" \
    VELTOVPN_HELPER_GROUP="$group" "$helper" >>"$1" 2>&1 &
  helper_pid=$!
  wait_for "$1" "listening on $work/helper.sock"
}
start_helper "$work/helper.out"

open_console
HOME="$work/user" TMPDIR="$work/user" "${as_user[@]}" "$standin" --no-menubar --ping-ms=0 \
  --helper-socket="$work/helper.sock" <&3 >>"$work/standin.out" 2>&1 &
standin_pid=$!
wait_for "$work/standin.out" "bridge listening on"
instance=$(sed -n 's/.*tunnel instance \([0-9a-f]*\),.*/\1/p' "$work/standin.out")
[ -n "$instance" ] || fail "the stand-in did not name its tunnel instance"
# Whatever a failed run leaves goes the way the stand-in would take it down.
extra_cleanup+=("{ echo instance=$instance; cat '$scripts/common.sh' '$scripts/down.sh'; } | bash >/dev/null 2>&1")

# What the up step reported, as the stand-in logged it.
reported() { sed -n "s/^    | $1=//p" "$work/standin.out" | tail -n1; }
in_client() { ip netns exec "$client_ns" "$@"; }
pings() { in_client ping -c 1 -W 2 "$1" >>"$work/ping.out" 2>&1; }

console kill on
wait_for "$work/standin.out" "-> status idle ks=true rid=-"
console connect
wait_for "$work/standin.out" "-> status connecting ks=true rid=-"
wait_for "$work/standin.out" "-> status connected ks=true rid=relay-"
client_ns=$(reported client-namespace)
relay_ns=$(reported relay-namespace)
client_if=$(reported client-interface)
relay_outside=$(reported relay-outside)
relay_tunnel=$(reported relay-tunnel)
[ -n "$client_ns" ] && [ -n "$relay_tunnel" ] && [ -n "$relay_outside" ] ||
  fail "the up step did not report the tunnel's names and addresses"
[ "$(stat -c %U:%a /run/veltovpn-tunnel/"$instance")" = root:700 ] ||
  fail "the key directory is not root's alone"
for key in /run/veltovpn-tunnel/"$instance"/*.key; do
  [ "$(stat -c %U:%a "$key")" = root:600 ] || fail "$key is readable by others"
done
# A real handshake before any traffic of the test's: connected meant it.
in_client wg show "$client_if" latest-handshakes | grep -qv $'\t0$' || fail "no handshake on $client_if"
in_client nft list table inet veltovpn_killswitch >/dev/null || fail "no kill-switch table in $client_ns"
pings "$relay_tunnel" || fail "no ping through the tunnel to $relay_tunnel"

# What reaches the relay's outside address besides the tunnel: a ping cannot
# tell (the client's input chain drops the answer), so the relay counts UDP
# datagrams to a port of its own that is not the tunnel's.
ip netns exec "$relay_ns" nft -f - <<'RULES'
table inet velto_test_probe {
  chain input {
    type filter hook input priority -10;
    udp dport 40404 counter
  }
}
RULES
probe_count() {
  ip netns exec "$relay_ns" nft list table inet velto_test_probe | sed -n 's/.*counter packets \([0-9]*\).*/\1/p'
}
# Sends one datagram; whether the relay counted more than before.
probe_reaches_relay() {
  local before
  before=$(probe_count)
  # A datagram the kill switch drops fails the write; that is the point.
  in_client bash -c "echo probe >/dev/udp/$relay_outside/40404" 2>/dev/null || true
  [ "$(probe_count)" -gt "$before" ]
}
! probe_reaches_relay || fail "with the kill switch on, a datagram beside the tunnel reached the relay"

# The tunnel dies under the stand-in: it notices, and the kill switch holds.
# shellcheck disable=SC2046
kill $(ip netns pids "$client_ns")
wait_for "$work/standin.out" "-> status error ks=true rid=-"
! pings "$relay_outside" || fail "with the kill switch on, a ping leaked past the dead tunnel to $relay_outside"
console kill off
wait_for "$work/standin.out" "-> status error ks=false rid=-"
! in_client nft list table inet veltovpn_killswitch >/dev/null 2>&1 || fail "the kill-switch table stayed"
pings "$relay_outside" || fail "with the kill switch off, no ping to $relay_outside"
probe_reaches_relay || fail "with the kill switch off, the relay counted no datagram (the probe does not work)"

# The helper dies in the middle of the next up step, which runs on without it:
# the stand-in lost the answer, not the helper, so it must not simulate a tunnel
# but report error and take down whatever the step built, at quit if the helper
# is not back before.
torn_down() { grep -cF "tunnel $instance torn down" "$work/standin.out" || true; }
# The up step under the helper, caught as it starts and held (SIGSTOP to its
# process group) so that it cannot finish before the helper is gone.
hold_up_step() {
  local pid file
  for pid in $(pgrep -P "$helper_pid"); do
    file=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | sed -n 2p)
    if [ -n "$file" ] && grep -qs '^complete=1$' "$file" && kill -STOP -- "-$pid"; then
      up_pid=$pid
      up_file=$file
      return 0
    fi
  done
  return 1
}
console connect
up_pid=
for _ in $(seq 3000); do hold_up_step && break; sleep 0.01; done
[ -n "$up_pid" ] || fail "no up step ran under the helper after the second connect"
extra_cleanup+=("kill -KILL -- -$up_pid 2>/dev/null; rm -f '$up_file'")
kill -KILL "$helper_pid"
wait_for "$work/standin.out" "the helper took the up step and its answer was lost"
# The step runs on without the helper and builds the tunnel.
kill -CONT -- "-$up_pid"
ended() { [ ! -e "/proc/$1" ] || grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }
poll 60 ended "$up_pid" || fail "the up step never ended"
! grep -qF "no real tunnel" "$work/standin.out" || fail "the stand-in simulated a tunnel over a lost answer"
start_helper "$work/helper2.out"

downs=$(torn_down)
console quit
wait_for "$work/standin.out" "stand-in exits"
wait "$standin_pid" || fail "the stand-in exited with status $?"
[ "$(torn_down)" -gt "$downs" ] || fail "quit did not tear the tunnel down"

# Nothing of the instance is left; a process may take a moment to be reaped.
nothing_left() {
  left=$(ip netns list | grep -F "$instance"
    ip -o link show | grep -F "$instance"
    ls -d /run/veltovpn-tunnel/"$instance" /var/run/wireguard/*"$instance"* 2>/dev/null
    pgrep -a -f "wireguard-go [a-z]*$instance")
  [ -z "$left" ]
}
poll 5 nothing_left || fail "left after quit: $left"
! nft list table inet veltovpn_killswitch >/dev/null 2>&1 || fail "a kill-switch table in the host's namespace"
echo "PASS"
