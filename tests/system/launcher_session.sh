#!/usr/bin/env bash
# The bundle started the way the system starts it: the launcher becomes the
# stand-in main application (same pid, runtime directory as working directory,
# its arguments plus --path and --res-mode), which starts the agent from its own
# directory; the agent connects and logs every status the stand-in sends, takes
# hide-app, and ends when "quit" closes the bridge, leaving nothing running.
# The agent runs without a display here.
#   launcher_session.sh BUNDLE_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
macos="$1/Contents/MacOS"

mkdir -p "$work/home"
mkdir -m 700 "$work/tmp"
export HOME="$work/home" TMPDIR="$work/tmp/"
unset VELTOVPN_MENUBAR_SOCKET VELTOVPN_MENUBAR_ICON_DIR DISPLAY WAYLAND_DISPLAY
agent_log="$work/tmp/veltovpn-menubar.log"
out="$work/session.out"

open_console
"$macos/VeltoVpnLauncher" "a document.vpn" --ping-ms=300 --connect-delay-ms=200 \
  --helper-socket="$work/no-helper.sock" <&3 >>"$out" 2>&1 &
launcher=$!
runtime="$HOME/.local/share/veltovpn/runtime"
wait_for "$out" "main application, pid $launcher, working directory $runtime"
grep -qF -- "--path=$macos --res-mode=bundle" "$out" || fail "stand-in did not get --path and --res-mode"
grep -qF -- "further argument: a document.vpn" "$out" || fail "the launcher's own argument was not forwarded"

wait_for "$agent_log" "connected to bridge at $work/tmp/veltovpn-menubar.sock"
agent=$(agent_pid_from "$out")
[ -n "$agent" ] || fail "the stand-in did not start the agent"
[ "$(ps -o ppid= -p "$agent" | tr -d ' ')" = "$launcher" ] || fail "the agent is not the stand-in's child"
wait_for "$agent_log" "status: idle ks=false rid=-"

console connect
wait_for "$agent_log" "status: connecting ks=false rid=-"
wait_for "$agent_log" "status: connected ks=false rid=fra-wg-007"
console kill on
wait_for "$agent_log" "status: connected ks=true rid=fra-wg-007"
console status error
wait_for "$agent_log" "status: error ks=true rid=-"
console hide
wait_for "$out" "-> hide-app"
console disconnect
wait_for "$agent_log" "status: idle ks=true rid=-"
# The order of the status lines is the order the stand-in sent them.
grep -o 'status: [a-z]* ks=[a-z]* rid=[^ ]*' "$agent_log" >"$work/sequence"
diff -u - "$work/sequence" <<'SEQ' || fail "status lines out of order"
status: idle ks=false rid=-
status: connecting ks=false rid=-
status: connected ks=false rid=fra-wg-007
status: connected ks=true rid=fra-wg-007
status: error ks=true rid=-
status: idle ks=true rid=-
SEQ

console quit
wait "$launcher" || fail "the stand-in exited with status $?"
wait_for "$agent_log" "bridge socket EOF — parent .app exited"
wait_gone "$agent"
[ ! -e "$work/tmp/veltovpn-menubar.sock" ] || fail "the bridge socket was left behind"
expect_no_process veltovpn-menubar
echo "PASS"
