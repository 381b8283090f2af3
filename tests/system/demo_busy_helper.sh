#!/usr/bin/env bash
# The demo beside a helper that is already serving but busy with a long script:
# the demo must see that the helper is there (it listens, though it answers
# late), use it rather than start its own, and leave its socket alone on exit.
# Runs the demo without a display (its console path); needs root for the helper.
#   demo_busy_helper.sh SOURCE_DIR BUILD_DIR HELPER
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source_dir=$1
build_dir=$2
helper=$3
socket=${VELTOVPN_HELPER_SOCKET:?}
log=${VELTOVPN_HELPER_LOG:?}

[ "$(id -u)" -eq 0 ] || skip "the helper daemon needs root"
socket_answers "$socket" && skip "a helper is serving $socket here"
[ -e "$log" ] || extra_cleanup+=("rm -f '$log'")
extra_cleanup+=("rm -f '$socket'")

"$helper" >"$work/helper.out" 2>&1 &
helper_pid=$!
wait_for "$work/helper.out" "listening on $socket"
inode=$(stat -c %i "$socket")
# One client's script keeps the helper busy until the demo has made up its mind
# about it, however long the demo takes to get there.
/usr/bin/python3 - "$socket" "$work" >"$work/busy.out" 2>&1 <<'PY' &
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
script = "echo started > {0}/busy.started; until [ -e {0}/release ]; do sleep 0.1; done; echo done".format(sys.argv[2])
s.sendall(json.dumps({"action": "run-script", "script": script}).encode())
s.shutdown(socket.SHUT_WR)
print(s.recv(65536).decode())
PY
wait_for "$work/busy.started" started

env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS VELTOVPN_DEMO_HEADLESS=1 \
  VELTOVPN_DEMO_BUILD_DIR="$build_dir" "$source_dir/scripts/demo" >"$work/demo.out" 2>&1 &
demo_pid=$!
# The line after the section header says whether the demo used the helper or
# tried its own; a demo that ended says no more.
decided() { sed -n '/^== helper daemon$/{n;/./p}' "$work/demo.out" | grep -q . || ! kill -0 "$demo_pid" 2>/dev/null; }
poll 120 decided || true
touch "$work/release"
status=0
wait "$demo_pid" || status=$?
[ "$status" -eq 0 ] || fail "the demo exited $status"
grep -qF "a helper already serves $socket; the demo uses it" "$work/demo.out" ||
  fail "the demo did not use the busy helper"
kill -0 "$helper_pid" || fail "the helper is gone after the demo"
[ "$(stat -c %i "$socket" 2>/dev/null)" = "$inode" ] || fail "the demo removed or replaced the helper's socket"
grep -q '"done' "$work/busy.out" || fail "the busy client was not answered: $(cat "$work/busy.out")"
echo "PASS"
