#!/usr/bin/env bash
# The stand-in keeps the main application's side of the bridge: a client in the
# agent's place sees the current state at once, commands in either member order
# drive the simulated engine (connecting, then connected with a relay), console
# words reach it too, and "quit" or SIGTERM closes the bridge and ends the stand-in
# with its socket file removed. Without a helper daemon the connect goes on and
# says so. A second stand-in leaves a socket that is being served alone.
#   standin_bridge.sh STANDIN
set -euo pipefail
source "$(dirname "$0")/lib.sh"
standin=$1
here=$(dirname "$0")

mkdir -m 700 "$work/tmp"           # private, or the stand-in would not take it
export TMPDIR="$work/tmp"          # no trailing slash: the stand-in adds it
unset VELTOVPN_MENUBAR_SOCKET
socket="$work/tmp/veltovpn-menubar.sock"

open_console
"$standin" --no-menubar --connect-delay-ms=300 --ping-ms=200 --relay=test-relay-1 \
  --helper-socket="$work/no-helper.sock" <&3 >>"$work/standin.out" 2>&1 &
standin_pid=$!
wait_for "$work/standin.out" "bridge listening on $socket"
[ "$(stat -c %a "$socket")" = 700 ] || fail "the bridge socket has mode $(stat -c %a "$socket")"

/usr/bin/python3 "$here/fake_agent.py" "$socket" \
  'await:"status":"idle"' \
  'await:"type":"hide-app"' \
  'send:{"action":"connect","type":"command"}' \
  'await:"status":"connecting"' \
  'await:"relayId":"test-relay-1","status":"connected"' \
  'send:{"type":"command","action":"toggle-killswitch"}' \
  'await:"killSwitch":true' \
  'send:{"type":"command","action":"show-window"}' \
  'send:this is not JSON' \
  'await:"type":"ping"' \
  'send:{"action":"disconnect","type":"command"}' \
  'await:"killSwitch":true,"status":"idle"' \
  'send:{"type":"command","action":"quit"}' \
  'eof' >>"$work/agent.out" 2>&1 &
agent=$!
wait_for "$work/standin.out" "agent connected to the bridge"
console hide

wait "$agent" || fail "the fake agent did not see the expected frames"
wait "$standin_pid" || fail "the stand-in ended with status $?"

for line in \
  "helper not reachable (connect $work/no-helper.sock" \
  "connecting without the privileged step" \
  "agent -> command connect" \
  "agent -> command toggle-killswitch" \
  "show-window: the main window would come to the front now" \
  "ignored line from agent (not a JSON object): this is not JSON" \
  "-> status idle ks=true rid=-" \
  "bridge closed"; do
  grep -qF -- "$line" "$work/standin.out" || fail "stand-in never logged: $line"
done
[ ! -e "$socket" ] || fail "the bridge socket file was left behind"

# A second stand-in must not take the socket of one that is serving.
"$standin" --no-menubar <&3 >>"$work/first.out" 2>&1 &
wait_for "$work/first.out" "bridge listening on $socket"
if "$standin" --no-menubar </dev/null >"$work/second.out" 2>&1; then
  fail "a second stand-in started on a socket in use"
fi
grep -qF "another main application already serves $socket" "$work/second.out" ||
  fail "the second stand-in did not say why it stopped"
# SIGTERM (as an updater sends it) ends it in the same orderly way as quit.
kill -TERM "$(sed -n 's/.*main application, pid \([0-9]*\),.*/\1/p' "$work/first.out")"
wait_for "$work/first.out" "stand-in exits"
[ ! -e "$socket" ] || fail "the socket file outlived a stand-in ended by SIGTERM"

# An agent of another user is closed at once: root, whom no socket mode keeps
# out, against a stand-in of nobody's.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  mkdir -m 1777 "$work/shared"
  chmod 711 "$work"
  shared="$work/shared/bridge.sock"
  VELTOVPN_MENUBAR_SOCKET="$shared" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$standin" --no-menubar <&3 >>"$work/nobody.out" 2>&1 &
  wait_for "$work/nobody.out" "bridge listening on $shared"
  /usr/bin/python3 "$here/fake_agent.py" "$shared" eof >>"$work/root-agent.out" 2>&1 ||
    fail "the stand-in did not close the connection of another user's agent"
  wait_for "$work/nobody.out" "agent of uid 0 refused: not this user"
  grep -qF "agent connected to the bridge" "$work/nobody.out" && fail "the stand-in took another user's agent"
  console quit
  wait_for "$work/nobody.out" "stand-in exits"
else
  echo "skipped the other-user case: needs root and setpriv"
fi
echo "PASS"
