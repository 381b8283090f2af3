# Tears the tunnel down: the wireguard-go processes, both namespaces with their
# links and the kill-switch table, the control sockets, the keys.
teardown
echo "tunnel $instance torn down"
