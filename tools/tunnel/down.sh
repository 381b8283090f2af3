# Tears the tunnel down: the wireguard-go processes, both namespaces with their
# links and the kill-switch table, the control sockets, the keys.
# shellcheck shell=bash disable=SC2154  # the names come from common.sh
teardown
echo "tunnel $instance torn down"
