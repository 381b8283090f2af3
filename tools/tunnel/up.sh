# Builds the tunnel: a client and a relay namespace joined by a veth pair, fresh
# keys, wireguard-go at both ends, the client's default route through the tunnel,
# the kill switch first when it is on. Prints what the caller needs as key=value
# lines. Exit 69: this machine cannot run it (a tool is missing), nothing made.
# shellcheck shell=bash disable=SC2154  # the names come from common.sh
for tool in wireguard-go wg nft ip; do
  if ! command -v "$tool" >/dev/null; then
    echo "unavailable: $tool is not installed"
    exit 69
  fi
done
# Another instance may be making it at the same moment; what counts is the check.
mkdir -m 700 "$state_root" 2>/dev/null || true
if [ -L "$state_root" ] || [ ! -d "$state_root" ] || [ "$(stat -c %u:%a "$state_root")" != 0:700 ]; then
  echo "tunnel: $state_root is not a directory of root's alone (mode 0700)"
  exit 1
fi
for ns in "$client_ns" "$relay_ns"; do
  if namespace_exists "$ns"; then
    echo "tunnel: namespace $ns exists already; run the down step first"
    exit 1
  fi
done
mkdir -m 700 "$state"

# From here on, a failure or a stop takes down whatever was built. bash may end
# on SIGTERM without the EXIT trap unless the signal is made an exit; a subshell
# caught between its fork and its exec has the trap too, and must leave it.
complete=0
trap '[ "$complete" = 1 ] || [ "$BASHPID" != $$ ] || teardown' EXIT
trap 'exit 143' TERM INT HUP

ip netns add "$client_ns"
ip netns add "$relay_ns"
ip -n "$client_ns" link set lo up
ip -n "$relay_ns" link set lo up
# Created inside the client's namespace with its peer moved straight to the
# relay's: the host's own namespace never holds either end.
ip -n "$client_ns" link add "$client_veth" type veth peer name "$relay_veth" netns "$relay_ns"
ip -n "$client_ns" addr add "$client_outside/30" dev "$client_veth"
ip -n "$relay_ns" addr add "$relay_outside/30" dev "$relay_veth"
ip -n "$client_ns" link set "$client_veth" up
ip -n "$relay_ns" link set "$relay_veth" up
if [ "$killswitch" = 1 ]; then killswitch_on; fi

wg genkey >"$state/client.key"
wg genkey >"$state/relay.key"
client_key=$(wg pubkey <"$state/client.key")
relay_key=$(wg pubkey <"$state/relay.key")

# wireguard-go puts itself in the background once its interface is ready; the
# Linux build refuses to run at all without this variable.
export WG_I_PREFER_BUGGY_USERSPACE_TO_POLISHED_KMOD=1
in_relay wireguard-go "$relay_wg" >>"$state/wireguard-go.log" 2>&1
in_client wireguard-go "$client_wg" >>"$state/wireguard-go.log" 2>&1
record_namespace "$relay_ns"
record_namespace "$client_ns"
in_relay wg set "$relay_wg" listen-port "$relay_port" private-key "$state/relay.key" \
  peer "$client_key" allowed-ips "$client_tunnel/32"
# The keepalive starts the handshake at once instead of on the first packet.
in_client wg set "$client_wg" private-key "$state/client.key" \
  peer "$relay_key" allowed-ips 0.0.0.0/0 endpoint "$relay_outside:$relay_port" persistent-keepalive 25
ip -n "$relay_ns" addr add "$relay_tunnel/32" peer "$client_tunnel/32" dev "$relay_wg"
ip -n "$client_ns" addr add "$client_tunnel/32" peer "$relay_tunnel/32" dev "$client_wg"
ip -n "$relay_ns" link set "$relay_wg" up
ip -n "$client_ns" link set "$client_wg" up
ip -n "$client_ns" route add default dev "$client_wg"
complete=1

echo "client-namespace=$client_ns"
echo "client-interface=$client_wg"
echo "relay-namespace=$relay_ns"
echo "relay-outside=$relay_outside"
echo "relay-tunnel=$relay_tunnel"
echo "relay-key=$relay_key"
