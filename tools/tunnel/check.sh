# Reports the client's end of the tunnel as key=value lines: link=up, down or
# missing (wireguard-go gone, or no namespace), and handshake=the time of the
# latest handshake with the relay in seconds since 1970, 0 for none yet. Exits 1
# when the namespace is there but cannot be entered.
# shellcheck shell=bash disable=SC2154  # the names come from common.sh
link=missing
handshake=0
# A namespace whose name no longer works here and which no process is left in
# lost its only one, the client's wireguard-go, and with it the link.
if namespace_known "$client_ns" &&
   { ip netns exec "$client_ns" true 2>/dev/null || process_in_recorded "$client_ns" >/dev/null; }; then
  reach_namespace "$client_ns" || exit 1
  flags=$(ip -n "$client_ns" -o link show dev "$client_wg" 2>/dev/null | sed -n 's/^[0-9]*: [^<]*<\([^>]*\)>.*/,\1,/p' || true)
  if [ -n "$flags" ]; then
    link=down
    [[ $flags != *,UP,* ]] || link=up
  fi
  if [ "$link" != missing ]; then
    handshake=$(in_client wg show "$client_wg" latest-handshakes 2>/dev/null | awk '{print $2; exit}' || true)
  fi
fi
echo "link=$link"
echo "handshake=${handshake:-0}"
