# Puts the kill switch in the client's namespace in the state $killswitch asks for.
# shellcheck shell=bash disable=SC2154  # the names come from common.sh
if ! namespace_known "$client_ns"; then
  echo "tunnel: no namespace $client_ns; the kill switch applies at the next connect"
  exit 0
fi
reach_namespace "$client_ns" || exit 1
if [ "$killswitch" = 1 ]; then
  killswitch_on
  echo "kill switch on in $client_ns"
else
  killswitch_off
  echo "kill switch off in $client_ns"
fi
