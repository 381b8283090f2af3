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
{
  echo "pid=$$"
  echo "cwd=$(pwd -P)"
  echo "marker=$VELTO_TEST_MARKER"
  echo "home=$HOME"
  for a in "$0" "$@"; do echo "arg=$a"; done
} >"$VELTO_TEST_REPORT"
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

# What the main binary reports when started from the runtime directory with
# the arguments given (its own path first).
started_with() {
  printf 'pid=%s\ncwd=%s\nmarker=kept as it was\nhome=%s' "$pid" "$runtime" "$HOME"
  printf '\narg=%s' "$@"
}

expect_report() {
  local expected=$1
  [ -f "$report" ] || fail "the main binary did not run"
  if [ "$(cat "$report")" != "$expected" ]; then
    diff <(echo "$expected") "$report" >&2 || true
    fail "the main binary received something else"
  fi
}

# Runs the launcher with the given arguments from the current directory; sets
# status, err (standard error) and pid (of the process that was started).
run_launcher() {
  set +e
  "$@" 2>"$tmp/stderr" &
  pid=$!
  wait "$pid"
  status=$?
  set -e
  err=$(cat "$tmp/stderr")
}

case "$case_name" in
  handoff)
    # Under a umask that would leave new directories open to everyone.
    cd "$tmp"
    umask 000
    run_launcher "$macos/VeltoVpnLauncher" "a document.txt" --unknown-switch
    [ "$status" -eq 0 ] || fail "exit status $status, stderr: $err"
    [ -z "$err" ] || fail "unexpected standard error: $err"
    [ "$(stat -c %a "$runtime")" = 700 ] || fail "runtime directory has mode $(stat -c %a "$runtime")"
    expect_report "$(started_with "$macos/veltoVpn-bin" "a document.txt" --unknown-switch \
      "--path=$macos" --res-mode=bundle)"
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
    [ "$status" -eq 0 ] || fail "exit status $status, stderr: $err"
    expect_report "$(started_with "$macos/veltoVpn-bin" "--path=$macos" --res-mode=bundle)"
    [ "$(cat "$runtime/keep")" = keep ] || fail "the runtime directory's contents changed"
    ;;
  runtime-is-a-file)
    mkdir -p "$(dirname "$runtime")"
    echo "in the way" >"$runtime"
    run_launcher "$macos/VeltoVpnLauncher"
    [ "$status" -eq 111 ] || fail "exit status $status, expected 111"
    [ "$err" = "[launcher] create runtime dir failed: $runtime: File exists" ] || fail "stderr: $err"
    [ ! -e "$report" ] || fail "the main binary was started"
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
    [ "$status" -eq 112 ] || fail "exit status $status, expected 112; stderr: $err"
    [ "$err" = "[launcher] chdir: Permission denied" ] || fail "stderr: $err"
    [ ! -e "$report" ] || fail "the main binary was started"
    ;;
  no-main-binary)
    rm "$macos/veltoVpn-bin"
    run_launcher "$macos/VeltoVpnLauncher"
    [ "$status" -eq 113 ] || fail "exit status $status, expected 113"
    [ "$err" = "[launcher] execv: No such file or directory" ] || fail "stderr: $err"
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
