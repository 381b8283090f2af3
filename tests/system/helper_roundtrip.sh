#!/usr/bin/env bash
# The stand-in as a client of the real helper daemon: a ping, a script whose
# output and exit status come back, and the connect, which runs its script
# through the helper. The daemon must run as root on its fixed socket, so this
# runs only as root (CI) and holds the helper-socket lock.
#   helper_roundtrip.sh STANDIN HELPER
set -euo pipefail
source "$(dirname "$0")/lib.sh"
standin=$1
helper=$2
socket=/var/run/veltovpn-helper.sock

[ "$(id -u)" -eq 0 ] || skip "the helper daemon needs root (uid is $(id -u))"
if [ -S "$socket" ] && /usr/bin/python3 -c "import socket,sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])" "$socket" 2>/dev/null; then
  skip "a helper daemon already serves $socket"
fi
extra_cleanup+=("rm -f '$socket'")

"$helper" >>"$work/helper.out" 2>&1 &
wait_for "$work/helper.out" "listening on $socket"

mkdir -m 700 "$work/tmp"
export TMPDIR="$work/tmp"
unset VELTOVPN_MENUBAR_SOCKET
open_console
"$standin" --no-menubar --connect-delay-ms=100 --ping-ms=0 --relay="relay 'quoted'" <&3 >>"$work/standin.out" 2>&1 &
standin_pid=$!
wait_for "$work/standin.out" "bridge listening on"

console helper
wait_for "$work/standin.out" "helper ping: pong from helper version 2.0.0-alpha.1"
console 'script echo "out from $(id -un)"; echo "to stderr" >&2; exit 3'
wait_for "$work/standin.out" "helper run-script: exit=3 output:"
wait_for "$work/standin.out" "    | out from root"
wait_for "$work/standin.out" "    | to stderr"
console connect
wait_for "$work/standin.out" "helper run-script (connect): exit=0 output:"
wait_for "$work/standin.out" "    | tunnel to relay 'quoted' would be set up here"
wait_for "$work/standin.out" "-> status connected ks=false rid=relay 'quoted'"
console quit
wait "$standin_pid" || fail "the stand-in exited with status $?"
grep -qF "run-script exit=3" "$work/helper.out" || fail "the helper did not log the script's run"
echo "PASS"
