#!/usr/bin/env bash
# Runs the real VeltoVpnLauncher from a throw-away application bundle whose path
# holds blanks and parentheses, with a stand-in main binary that reports what it
# received. Usage: launcher_process.sh <VeltoVpnLauncher> <case>
set -euo pipefail

launcher_build=$1
case_name=$2

tmp=$(mktemp -d /tmp/velto-launcher-process-XXXXXX)
tmp=$(cd "$tmp" && pwd -P)
trap 'rm -rf "$tmp"' EXIT

bundle="$tmp/Velto (2) Test.app"
macos="$bundle/Contents/MacOS"
mkdir -p "$macos"
cp "$launcher_build" "$macos/VeltoVpnLauncher"
report="$tmp/report"
cat >"$macos/veltoVpn-bin" <<'SCRIPT'
#!/bin/sh
printf 'pid=%s\ncwd=%s\nmarker=%s\n' "$$" "$(pwd -P)" "$VELTO_TEST_MARKER" >"$VELTO_TEST_REPORT"
printf 'arg=%s\n' "$0" "$@" >>"$VELTO_TEST_REPORT"
SCRIPT
chmod +x "$macos/veltoVpn-bin"

export HOME="$tmp/home"
export VELTO_TEST_MARKER="kept as it was"
export VELTO_TEST_REPORT="$report"
unset XDG_DATA_HOME
mkdir -p "$HOME"
runtime="$HOME/.local/share/veltovpn/runtime"

fail() {
  echo "FAIL ($case_name): $*" >&2
  exit 1
}

# The main binary ran in the launcher's process, from the runtime directory,
# with its environment and the arguments given (its own path first).
expect_started_with() {
  local expected
  [ "$status" -eq 0 ] || fail "exit status $status, stderr: $err"
  expected=$(printf 'pid=%s\ncwd=%s\nmarker=kept as it was' "$pid" "$runtime")$(printf '\narg=%s' "$@")
  if [ "$(cat "$report" 2>/dev/null)" != "$expected" ]; then
    diff <(echo "$expected") "$report" >&2 || true
    fail "the main binary did not run or received something else"
  fi
}

# The launcher ended with status $1 and standard error $2, the main binary unstarted.
expect_failure() {
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1; stderr: $err"
  [ "$err" = "$2" ] || fail "stderr: $err"
  [ ! -e "$report" ] || fail "the main binary was started"
}

# Runs the launcher with the given arguments from the current directory; sets
# status, err (standard error) and pid (of the process that was started).
run_launcher() {
  "$@" 2>"$tmp/stderr" &
  pid=$!
  status=0
  wait "$pid" || status=$?
  err=$(cat "$tmp/stderr")
}

case "$case_name" in
  handoff)
    # Under a umask that would leave new directories open to everyone.
    cd "$tmp"
    umask 000
    run_launcher "$macos/VeltoVpnLauncher" "a document.txt" --unknown-switch
    [ -z "$err" ] || fail "unexpected standard error: $err"
    [ "$(stat -c %a "$runtime")" = 700 ] || fail "runtime directory has mode $(stat -c %a "$runtime")"
    expect_started_with "$macos/veltoVpn-bin" "a document.txt" --unknown-switch \
      "--path=$macos" --res-mode=bundle
    ;;
  through-path)
    # Started by name through PATH and a symbolic link (as the installed command
    # is), from a directory that holds a file named like the main binary, with
    # the runtime directory already there and holding a file.
    mkdir -p "$tmp/bin" "$tmp/trap"
    ln -s "$macos/VeltoVpnLauncher" "$tmp/bin/veltovpn"
    printf '#!/bin/sh\necho planted >"$VELTO_TEST_REPORT"\n' >"$tmp/trap/veltoVpn-bin"
    chmod +x "$tmp/trap/veltoVpn-bin"
    export XDG_DATA_HOME="$tmp/data"
    runtime="$XDG_DATA_HOME/veltovpn/runtime"
    mkdir -p "$runtime"
    echo keep >"$runtime/keep"
    cd "$tmp/trap"
    PATH="$tmp/bin:$PATH" run_launcher veltovpn
    expect_started_with "$macos/veltoVpn-bin" "--path=$macos" --res-mode=bundle
    [ "$(cat "$runtime/keep")" = keep ] || fail "the runtime directory's contents changed"
    ;;
  runtime-is-a-file)
    mkdir -p "$(dirname "$runtime")"
    echo "in the way" >"$runtime"
    run_launcher "$macos/VeltoVpnLauncher"
    expect_failure 111 "[launcher] create runtime dir failed: $runtime: File exists"
    ;;
  chdir-fails)
    # A runtime directory without search permission exists but cannot be entered.
    # Root may enter it anyway, so the launcher then runs as nobody.
    as_user=()
    if [ "$(id -u)" -eq 0 ]; then
      command -v setpriv >/dev/null || { echo "skipped: no setpriv"; exit 0; }
      as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
      chmod 755 "$tmp"
      cd "$tmp"  # a folder nobody can enter, wherever the test runs
    fi
    mkdir -p "$runtime"
    chmod 0666 "$runtime"
    run_launcher "${as_user[@]}" "$macos/VeltoVpnLauncher"
    expect_failure 112 "[launcher] chdir: Permission denied"
    ;;
  no-main-binary)
    rm "$macos/veltoVpn-bin"
    run_launcher "$macos/VeltoVpnLauncher"
    expect_failure 113 "[launcher] execv: No such file or directory"
    [ -d "$runtime" ] || fail "the runtime directory was not created"
    ;;
  update-mode)
    run_launcher timeout 20 "$macos/VeltoVpnLauncher" --unknown --sparkle-check-for-updates
    [ "$status" -eq 71 ] || fail "exit status $status, expected 71; stderr: $err"
    line_pattern='^[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} VeltoVpnLauncher\[[0-9]+\]: '
    line_pattern+='\[launcher\] Sparkle update cycle finished error=updates are not supported on this platform installStarted=false$'
    grep -Eq "$line_pattern" <<<"$err" || fail "no end-of-cycle line; stderr: $err"
    [ ! -e "$report" ] || fail "the main binary was started"
    ;;
  *)
    fail "unknown case"
    ;;
esac
echo "ok: $case_name"
