# Shared part of the example tunnel scripts: the names and addresses of one
# instance's tunnel, and what building, tearing down and guarding it take.
# A script is sent to the helper as a few variable lines (instance=8 hex digits,
# killswitch=0|1, optionally not_after), then this file, then the step's own file (up, check,
# killswitch, down); the helper runs it as root with bash. By hand, as root:
#   { echo instance=0123abcd killswitch=0; cat common.sh up.sh; } | bash
# shellcheck shell=bash disable=SC2034  # the names are for the step files
set -euo pipefail
umask 077

if ! [[ ${instance:-} =~ ^[0-9a-f]{8}$ ]]; then
  echo "tunnel: instance must be 8 lower-case hexadecimal digits" >&2
  exit 2
fi
if ! [[ ${killswitch:-0} =~ ^[01]$ ]]; then
  echo "tunnel: killswitch must be 0 or 1" >&2
  exit 2
fi
# not_after=<seconds since 1970>, when given: a step that starts later does
# nothing and exits 75, for its sender may have stopped waiting for its answer
# and would never tear down what it built.
if ! [[ ${not_after:-0} =~ ^[0-9]+$ ]]; then
  echo "tunnel: not_after must be a number of seconds" >&2
  exit 2
fi
if [ -n "${not_after:-}" ] && [ "$(date +%s)" -gt "$not_after" ]; then
  echo "late: started after $not_after; nothing done"
  exit 75
fi

# Everything lives in two namespaces of its own, so the host's network is never
# touched, and carries the instance id, so two instances never meet. The
# WireGuard names differ between the ends because the userspace implementation
# keeps one control socket per interface name in /var/run/wireguard, shared by
# all namespaces.
client_ns=veltovpn-$instance-client
relay_ns=veltovpn-$instance-relay
client_veth=vvc$instance
relay_veth=vvr$instance
client_wg=vwgc$instance
relay_wg=vwgr$instance
client_outside=10.203.0.1
relay_outside=10.203.0.2
client_tunnel=10.204.0.1
relay_tunnel=10.204.0.2
relay_port=51820
killswitch_table=veltovpn_killswitch
# Under /run, which only root can write, so no other user can plant the
# directory or a link in its place before the keys go in.
state_root=/run/veltovpn-tunnel
state=$state_root/$instance

in_client() { ip netns exec "$client_ns" "$@"; }
in_relay() { ip netns exec "$relay_ns" "$@"; }
namespace_exists() { [ -e "/run/netns/$1" ]; }

# A name given by `ip netns add` is a mount in the mount namespace of the helper
# that gave it; a helper started later (a restart, an upgrade) finds only an
# empty file under /run/netns. So up records, for each namespace, the pid of its
# wireguard-go and the kernel's id of the namespace, and the other steps name it
# again from a process still inside it.
namespace_record() { echo "$state/$1.netns"; }
record_namespace() {
  local pid
  pid=$(ip netns pids "$1" | head -n 1)
  [ -n "$pid" ] || { echo "tunnel: no process in namespace $1 to record" >&2; return 1; }
  echo "$pid $(readlink "/proc/$pid/ns/net")" >"$(namespace_record "$1")"
}
# Whether the tunnel has namespace $1: named here, or recorded by up.
namespace_known() { namespace_exists "$1" || [ -f "$(namespace_record "$1")" ]; }

# A process inside the recorded namespace $1: the recorded one while it lives,
# else any other.
process_in_recorded() {
  local record pid id candidate
  record=$(namespace_record "$1")
  [ -f "$record" ] || return 1
  read -r pid id <"$record"
  for candidate in "$pid" /proc/[0-9]*; do
    candidate=${candidate#/proc/}
    if [ "$(readlink "/proc/$candidate/ns/net" 2>/dev/null)" = "$id" ]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Makes namespace $1 enterable by its name, naming it again when needed; says
# why on standard error and fails when it cannot.
reach_namespace() {
  local pid
  ip netns exec "$1" true 2>/dev/null && return 0
  if ! pid=$(process_in_recorded "$1"); then
    echo "tunnel: cannot reach namespace $1: its name is not usable here and no process is left in it" >&2
    return 1
  fi
  rm -f "/run/netns/$1"
  ip netns attach "$1" "$pid" && ip netns exec "$1" true && return 0
  echo "tunnel: cannot reach namespace $1: naming it again from pid $pid failed" >&2
  return 1
}

# Drops everything in and out of the client's namespace but the tunnel itself
# and the WireGuard packets to and from the relay's endpoint. Replaced in one
# transaction, so there is no moment without the rules.
killswitch_on() {
  in_client nft -f - <<RULES
table inet $killswitch_table
delete table inet $killswitch_table
table inet $killswitch_table {
  chain output {
    type filter hook output priority 0; policy drop;
    oifname "lo" accept
    oifname "$client_wg" accept
    ip daddr $relay_outside udp dport $relay_port accept
  }
  chain input {
    type filter hook input priority 0; policy drop;
    iifname "lo" accept
    iifname "$client_wg" accept
    ip saddr $relay_outside udp sport $relay_port accept
  }
}
RULES
}

# REQUIRES: reach_namespace "$client_ns" succeeded; an nft that cannot list
# the tables fails here rather than pass for a switch already off.
killswitch_off() {
  if in_client nft list tables | grep -qxF "table inet $killswitch_table"; then
    in_client nft delete table inet "$killswitch_table"
  fi
}

# Ends every process in namespace $1 (the wireguard-go daemons), TERM first so
# that they remove their control sockets, then KILL.
stop_namespace_processes() {
  namespace_exists "$1" || return 0
  local pids try
  pids=$(ip netns pids "$1")
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for try in $(seq 30); do
    [ -n "$(ip netns pids "$1")" ] || return 0
    sleep 0.1
  done
  pids=$(ip netns pids "$1")
  # shellcheck disable=SC2086
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
}

# Removes whatever of this instance exists; safe to run at any point. Fails,
# keeping the state, while a process is still found inside either namespace.
teardown() {
  local ns pid left=0
  # Every process of both first: each keeps a mount namespace in which the
  # other namespace's name may be all that holds it.
  for ns in "$client_ns" "$relay_ns"; do
    if namespace_known "$ns" && reach_namespace "$ns" 2>/dev/null; then
      stop_namespace_processes "$ns"
    fi
  done
  for ns in "$client_ns" "$relay_ns"; do
    # Deleting the namespace takes its links, routes and the kill-switch table.
    if namespace_exists "$ns"; then ip netns delete "$ns"; fi
    if pid=$(process_in_recorded "$ns"); then
      echo "tunnel: pid $pid is still inside namespace $ns" >&2
      left=1
    fi
  done
  [ "$left" = 0 ] || return 1
  rm -f "/var/run/wireguard/$client_wg.sock" "/var/run/wireguard/$relay_wg.sock"
  rm -rf "$state"
  # The last instance takes the shared folder with it. The helper runs one
  # script at a time, so no up of another instance is between its two mkdirs.
  rmdir "$state_root" 2>/dev/null || true
}
