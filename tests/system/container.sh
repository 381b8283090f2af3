#!/usr/bin/env bash
# The helper package in a minimal Debian booted with systemd in a container
# (its own network namespace), installed with apt-get, doing a VPN's real work
# under its unit: TUN device, WireGuard tunnel to a peer in a namespace, policy
# route, nftables kill switch, resolv.conf, sysctl. The tunnel must outlive a
# restart and a reinstall, and the example tunnel's scripts (tools/tunnel) must
# still check, switch and tear down theirs; teardown and purge must leave nothing.
#   container.sh RELEASE BUILD_DIR DEB_DIR
# RELEASE is the Debian codename booted (bookworm, trixie); BUILD_DIR, a build
# for that release, gives the helper client and holds the container's copy of
# the root; DEB_DIR holds the packages scripts/package made for that release.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
release=$1
build_dir=$2
deb_dir=$3

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
need_tools systemd-nspawn debootstrap nsenter python3
helper_deb=$(ls "$deb_dir"/veltovpn-helper_*.deb 2>/dev/null) ||
  skip "no $release packages in $deb_dir (built by the $release build's system.packages)"
client=$build_dir/bin/veltovpn-helper-client
[ -x "$client" ] || fail "$client not built"

# nspawn locks the directory it runs in a file named after its inode and may
# leave that behind when the container did not end cleanly.
remove_nspawn_lock() {
  local inode
  inode=$(stat -c %d:%i "$1" 2>/dev/null) || return 0
  rm -f "/run/systemd/nspawn/locks/inode-$inode"
}

# ---- The root: debootstrap once, the tools a VPN uses, cached on this machine
# The helper's own dependencies go in too: the container installs it offline.
packages=(systemd dbus iproute2 nftables iputils-ping procps wireguard-go wireguard-tools logrotate)
mapfile -t depends < <(dpkg-deb -f "$helper_deb" Depends | tr ',' '\n' | sed 's/[(|].*//; s/ //g' | sed '/^$/d')
packages+=("${depends[@]}")
status=0
cache=$("$(dirname "$0")/../../scripts/debian-root" container "$release" "${packages[@]}" 2>"$work/root.out") ||
  status=$?
[ "$status" -ne 77 ] || skip "$(cat "$work/root.out")"
[ "$status" -eq 0 ] || fail "no $release root: $(tail -n 5 "$work/root.out")"

# ---- A fresh copy, booted with a network of its own -------------------------
root=$(mktemp -d "$build_dir/container.XXXXXX")
extra_cleanup+=("rm -rf '$root'")
cp -a "$cache/." "$root/"
install -m 0755 "$client" "$root/usr/local/bin/veltovpn-helper-client"
# Not the host's: the test replaces it and checks it comes back.
printf 'nameserver 192.0.2.53\n' >"$root/etc/resolv.conf"
machine=veltovpn-test-$$

# What a root VPN needs: its own network (CAP_NET_ADMIN comes with it) and
# /dev/net/tun; SYS_ADMIN, for network namespaces, is nspawn's default.
systemd-nspawn --boot --register=no --keep-unit -M "$machine" -D "$root" \
  --private-network --capability=CAP_NET_ADMIN --bind=/dev/net/tun --resolv-conf=off \
  --bind-ro="$deb_dir":/mnt/debs --console=pipe </dev/null >"$work/boot.log" 2>&1 &
nspawn=$!

stop_container() {
  kill -0 "$nspawn" 2>/dev/null || return 0
  kill -TERM "$nspawn" 2>/dev/null  # asks the container's systemd to power off
  local deadline=$((SECONDS + 30))
  while kill -0 "$nspawn" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
  if kill -0 "$nspawn" 2>/dev/null; then
    # Killing the container's init ends every process of its PID namespace.
    [ -z "${init:-}" ] || kill -KILL "$init" 2>/dev/null
    kill -KILL "$nspawn" 2>/dev/null
  fi
  wait "$nspawn" 2>/dev/null || true
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null || true
  remove_nspawn_lock "$root"
}
# Before lib.sh's clean-up, which would kill the container's processes one by one.
trap 'status=$?; set +e; stop_container; (exit $status); stop_everything' EXIT

init=
for _ in $(seq 100); do
  init=$(ps -o pid= --ppid "$nspawn" 2>/dev/null | head -n1 | tr -d " ") || true
  [ -n "$init" ] && [ "$(cat "/proc/$init/comm" 2>/dev/null)" = systemd ] && break
  init=
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.1
done
[ -n "$init" ] || skip "systemd-nspawn cannot boot a container here: $(tail -n 3 "$work/boot.log")"

# in_ct COMMAND...: runs COMMAND inside the container, as its root.
in_ct() {
  nsenter -t "$init" -m -u -i -n -p -r -w -- \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Up to when its manager answers and has started everything (or failed some),
# or the container is gone.
booted() {
  state=$(timeout 60 nsenter -t "$init" -m -u -i -n -p -r -w -- systemctl is-system-running --wait 2>&1) || true
  [[ $state == running || $state == degraded ]] || ! kill -0 "$nspawn" 2>/dev/null
}
state=
poll 90 booted || true
[[ $state == running || $state == degraded ]] ||
  skip "systemd-nspawn cannot boot a container here (state: ${state:-none}): $(tail -n 3 "$work/boot.log")"
[ "$(in_ct ip -o link show | awk -F': ' '{ print $2 }')" = lo ] || fail "the container shares a network with the host"

# ---- Users, the package, the unit -------------------------------------------
in_ct useradd -M -s /usr/sbin/nologin member
in_ct useradd -M -s /usr/sbin/nologin stranger
in_ct getent group veltovpn >/dev/null && fail "group veltovpn exists before the package"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  "/mnt/debs/$(basename "$helper_deb")" >"$work/apt.out" 2>&1 || fail "apt-get install: $(tail -n 5 "$work/apt.out")"

# One attempt right after the start returned: Type=notify waits for READY=1,
# so the socket must listen by then.
as_user() { local user=$1; shift; in_ct setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }
# served [as_user USER]: one ping through the helper client, answered with pong.
served() {
  local answer
  answer=$("$@" veltovpn-helper-client '{"action":"ping"}' 2>&1) || return 1
  [[ $answer == *'"message":"pong"'* ]]
}
served in_ct || fail "the first client after the start was not served"
[ "$(in_ct systemctl show -p Type --value veltovpn-helper)" = notify ] || fail "the unit is not Type=notify"
[ "$(in_ct systemctl is-active veltovpn-helper)" = active ] || fail "the unit is not active"
# The hardening, as the running manager sees the unit, at most "OK" (5.0).
in_ct systemd-analyze security --threshold=50 veltovpn-helper >"$work/security.out" 2>&1 ||
  fail "unit exposure above 5.0: $(tail -n 1 "$work/security.out")"
echo "unit exposure: $(grep -o 'Overall exposure level.*' "$work/security.out")"

# The group is the one the sysusers.d file declares, made by systemd-sysusers.
gid=$(in_ct getent group veltovpn | cut -d: -f3) || true
[ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "group veltovpn missing or not a system group (gid '$gid')"
in_ct grep -q systemd-sysusers /var/lib/dpkg/info/veltovpn-helper.postinst ||
  fail "the group does not come from systemd-sysusers"
in_ct usermod -aG veltovpn member
served as_user member || fail "a member of veltovpn was refused"
refused=$(as_user stranger veltovpn-helper-client '{"action":"ping"}' || true)
[ "$refused" = '{"error":"unauthorized peer","success":false}' ] || fail "a stranger got: $refused"
stranger_uid=$(in_ct id -u stranger)
in_ct grep -q "refused peer uid=$stranger_uid " "$VELTOVPN_HELPER_LOG" || fail "the refusal is not logged"

# through_helper < SCRIPT: runs it through the helper as the member; its output, its exit code.
through_helper() {
  local request answer
  request=$(python3 -c 'import json, sys; print(json.dumps({"action": "run-script", "script": sys.stdin.read()}))')
  answer=$(as_user member veltovpn-helper-client --timeout 120 "$request") || fail "helper client: $answer"
  python3 -c 'import json, sys; a = json.loads(sys.argv[1]); sys.stdout.write(a["stdout"]); sys.exit(a["exit"])' "$answer"
}

# The manager's notification socket is the daemon's alone: no script sees it.
# shellcheck disable=SC2016
[ "$(echo 'echo "${NOTIFY_SOCKET-unset}"' | through_helper)" = unset ] || fail "a script saw NOTIFY_SOCKET"

# ---- A VPN's set-up, as a main application's scripts do it -------------------
# wgclient here; wgpeer in namespace vpeer over a veth pair (10.200.0.0/24);
# the tunnel carries 10.201.0.0/24 and, by a policy rule, 10.202.0.0/24.
through_helper >"$work/up.out" 2>&1 <<'EOF' || fail "set-up script failed: $(cat "$work/up.out")"
set -eu
export WG_I_PREFER_BUGGY_USERSPACE_TO_POLISHED_KMOD=1
state=/run/vpn-test
mkdir -m 0700 "$state"
cd "$state"
ip tuntap add dev vtun0 mode tun
umask 077
wg genkey >client.key
wg genkey >peer.key
ip netns add vpeer
ip link add vveth0 type veth peer name vveth1 netns vpeer
ip addr add 10.200.0.1/24 dev vveth0
ip link set vveth0 up
ip -n vpeer addr add 10.200.0.2/24 dev vveth1
ip -n vpeer link set vveth1 up
# Each tunnel program in a session of its own: it outlives this script.
setsid -f sh -c 'echo $$ >client.pid; exec wireguard-go -f wgclient' </dev/null >client.log 2>&1
ip netns exec vpeer setsid -f sh -c 'echo $$ >peer.pid; exec wireguard-go -f wgpeer' </dev/null >peer.log 2>&1
for i in $(seq 100); do
  [ -S /run/wireguard/wgclient.sock ] && [ -S /run/wireguard/wgpeer.sock ] && break
  sleep 0.1
done
wg set wgclient private-key client.key listen-port 51820 \
  peer "$(wg pubkey <peer.key)" endpoint 10.200.0.2:51821 allowed-ips 10.201.0.2/32,10.202.0.0/24
wg set wgpeer private-key peer.key listen-port 51821 peer "$(wg pubkey <client.key)" allowed-ips 10.201.0.1/32
ip addr add 10.201.0.1/24 dev wgclient
ip link set wgclient up
ip -n vpeer addr add 10.201.0.2/24 dev wgpeer
ip -n vpeer addr add 10.202.0.1/24 dev wgpeer
ip -n vpeer link set wgpeer up
ip route add 10.202.0.0/24 dev wgclient table 51820
ip rule add to 10.202.0.0/24 lookup 51820 priority 1000
# The kill switch: nothing leaves but through the tunnel or to its endpoint.
nft -f - <<'NFT'
table inet vpn_test_killswitch {
  chain output {
    type filter hook output priority 0; policy drop;
    oifname "lo" accept
    oifname "wgclient" accept
    ip daddr 10.200.0.2 udp dport 51821 accept
  }
}
NFT
cp /etc/resolv.conf resolv.conf.saved
printf 'nameserver 10.201.0.2\n' >/etc/resolv.conf
sysctl -q -w net.ipv4.conf.all.src_valid_mark=1
EOF

tunnel_works() { in_ct ping -n -q -c 1 -w 10 10.201.0.2 >"$work/ping.out" 2>&1; }
check_tunnel() {
  local when=$1 pid
  for pid in $(in_ct cat /run/vpn-test/client.pid /run/vpn-test/peer.pid); do
    [ "$(in_ct cat "/proc/$pid/comm" 2>/dev/null)" = wireguard-go ] || fail "a tunnel program is gone $when"
  done
  tunnel_works || fail "no ping through the tunnel $when: $(cat "$work/ping.out")"
}
check_tunnel "after the set-up"
in_ct ping -n -q -c 1 -w 10 10.202.0.1 >/dev/null || fail "no ping through the policy route"
in_ct ping -n -q -c 1 -W 1 10.200.0.2 >/dev/null 2>&1 && fail "the kill switch let a ping out beside the tunnel"
[ "$(in_ct cat /etc/resolv.conf)" = "nameserver 10.201.0.2" ] || fail "resolv.conf not replaced"
in_ct test -e /run/netns/vpeer || fail "no named network namespace"

# ---- The tunnel outlives the helper; a script in progress does not -----------
as_user member veltovpn-helper-client --timeout 600 \
  '{"action":"run-script","script":"echo $$ >/run/vpn-test/busy.pid; exec sleep 600"}' \
  >/dev/null 2>&1 &
for _ in $(seq 100); do in_ct test -s /run/vpn-test/busy.pid && break; sleep 0.1; done
busy=$(in_ct cat /run/vpn-test/busy.pid) || fail "the long script did not start"
in_ct systemctl restart veltovpn-helper || fail "systemctl restart failed"
served in_ct || fail "not served right after the restart"
# Once ended, the container's init reaps it.
poll 10 in_ct sh -c "! test -d /proc/$busy" || fail "the script in progress outlived the helper's stop"
check_tunnel "after systemctl restart"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall \
  "/mnt/debs/$(basename "$helper_deb")" >"$work/reinstall.out" 2>&1 || fail "reinstall: $(tail -n 5 "$work/reinstall.out")"
check_tunnel "after a reinstall of the package"

# ---- The example tunnel's scripts keep their tunnel in hand across both --------
# tools/tunnel as the stand-in embeds it, composed as it composes it: up runs
# under one helper, every later step under the next, to which the namespaces'
# names are only files in /run/netns.
tunnel_dir=$(cd "$(dirname "$0")/../../tools/tunnel" && pwd)
instance=$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
# tunnel_step STEP KILLSWITCH: the step through the helper; its output, its exit code.
tunnel_step() {
  { printf 'instance=%s\nkillswitch=%s\n' "$instance" "$2"
    cat "$tunnel_dir/common.sh" "$tunnel_dir/$1.sh"; } | through_helper
}
tunnel_step up 1 >"$work/tunnel-up.out" 2>&1 || fail "tunnel up: $(cat "$work/tunnel-up.out")"
client_wg_pid=$(in_ct pgrep -f "^wireguard-go vwgc$instance\$") || fail "no wireguard-go for the client"
# The kill switch's table as the client's namespace itself has it.
killswitch_tables() { in_ct nsenter -t "$client_wg_pid" -n nft list tables | grep -c veltovpn_killswitch || true; }
for change in "systemctl restart veltovpn-helper" \
              "apt-get install -y --reinstall /mnt/debs/$(basename "$helper_deb")"; do
  # shellcheck disable=SC2086  # the words of the command
  in_ct env DEBIAN_FRONTEND=noninteractive $change >"$work/change.out" 2>&1 ||
    fail "$change: $(tail -n 5 "$work/change.out")"
  report=$(tunnel_step check 1 2>&1) || fail "check after $change: $report"
  [[ $report == *link=up* ]] || fail "check after $change: $report"
  for wanted in 0 1; do
    answer=$(tunnel_step killswitch "$wanted" 2>&1) || fail "kill switch $wanted after $change: $answer"
    [ "$(killswitch_tables)" = "$wanted" ] || fail "kill switch $wanted after $change: the table count is $(killswitch_tables)"
  done
done
answer=$(tunnel_step down 0 2>&1) || fail "tunnel down: $answer"
in_ct test -d "/proc/$client_wg_pid" && fail "the client's wireguard-go outlived down"
left=$(in_ct sh -c "pgrep -a -f 'wireguard-go vwg[cr]$instance'; ls /run/netns /run/veltovpn-tunnel 2>/dev/null | grep -F '$instance'; true")
[ -z "$left" ] || fail "left by the tunnel's down: $left"

# ---- The log is rotated, and the helper goes on in a new file ---------------
in_ct logrotate -f /etc/logrotate.d/veltovpn-helper || fail "logrotate failed"
in_ct test -f "$VELTOVPN_HELPER_LOG".1.gz || fail "the log was not rotated"
served in_ct || fail "not served after the rotation"
in_ct grep -q "recv" "$VELTOVPN_HELPER_LOG" || fail "the helper did not start a new log file"

# ---- Teardown through the helper --------------------------------------------
# A namespace named under an earlier helper is only a file in /run/netns to
# this one: it is named again from the peer's tunnel program.
through_helper >"$work/down.out" 2>&1 <<'EOF' || fail "teardown script failed: $(cat "$work/down.out")"
set -eu
cd /run/vpn-test
if ! ip netns exec vpeer true 2>/dev/null; then
  rm -f /run/netns/vpeer
  ip netns attach vpeer "$(cat peer.pid)"
fi
cat resolv.conf.saved >/etc/resolv.conf
sysctl -q -w net.ipv4.conf.all.src_valid_mark=0
nft delete table inet vpn_test_killswitch
ip rule del priority 1000
ip route flush table 51820
kill "$(cat client.pid)" "$(cat peer.pid)"
for i in $(seq 100); do
  kill -0 "$(cat client.pid)" 2>/dev/null || kill -0 "$(cat peer.pid)" 2>/dev/null || break
  sleep 0.1
done
ip link del vveth0
ip netns del vpeer
ip link del vtun0
rm -rf /run/vpn-test
EOF
links=$(in_ct ip -o link show | awk -F': ' '{ print $2 }' | grep -vx lo || true)
[ -z "$links" ] || fail "links left after the teardown: $links"
namespaces=$(in_ct sh -c 'readlink /proc/[0-9]*/ns/net; true' 2>/dev/null | sort -u | wc -l)
[ "$namespaces" -eq 1 ] || fail "network namespaces left: $namespaces, not 1"
[[ $(in_ct sh -c 'cat /proc/[0-9]*/mountinfo; true' 2>/dev/null) == *" nsfs "* ]] &&
  fail "a namespace is still mounted in some mount namespace"
[ -z "$(in_ct nft list tables)" ] || fail "nftables tables left: $(in_ct nft list tables)"
in_ct pgrep -x wireguard-go >/dev/null && fail "a tunnel program is left"

# ---- Purged, nothing of the package is left but the group -------------------
in_ct env DEBIAN_FRONTEND=noninteractive apt-get purge -y veltovpn-helper >"$work/purge.out" 2>&1 ||
  fail "apt-get purge: $(tail -n 5 "$work/purge.out")"
left=$(in_ct find /etc /lib /usr /var /run -xdev -iname '*veltovpn*' -not -path /usr/local/bin/veltovpn-helper-client 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"
in_ct pgrep -f veltovpn-helper >/dev/null && fail "a helper process is left after purge"
echo "PASS"
