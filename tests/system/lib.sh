# Shared by the end-to-end scripts: a private work directory, a console pipe for
# the stand-in, skipping, polling and waiting for log lines, and a clean-up that
# stops every process the test started (children of children included) and
# removes what it made.
# Sourced by bash scripts that use `set -euo pipefail`.

work=$(mktemp -d "${TMPDIR:-/tmp}/veltovpn-e2e.XXXXXX")
# The programs would prefer these to the private places each test sets up.
unset XDG_RUNTIME_DIR XDG_DATA_HOME
extra_cleanup=()

# Every descendant of process $1, deepest first.
descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    descendants "$child"
    echo "$child"
  done
}

stop_everything() {
  local status=$?
  exec 3>&- 2>/dev/null || true
  local pids
  pids=$(descendants $$)
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    sleep 0.5
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  local step
  for step in "${extra_cleanup[@]}"; do eval "$step" || true; done
  rm -rf "$work"
  exit "$status"
}
trap stop_everything EXIT
trap 'exit 130' INT TERM

show_file() {
  [ -f "$1" ] || return 0
  echo "----- $1" >&2
  cat "$1" >&2
}

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$work"/*.out "$work"/*.log "$work"/tmp/*.log; do show_file "$f"; done
  exit 1
}

skip() {
  echo "SKIP: $*"
  exit 77
}

# need_tools TOOL...: skips the test unless every TOOL is installed.
need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "$tool missing (scripts/setup-debian installs it)"
  done
}

# Whether something listens on the Unix socket $1, such as a helper already serving.
socket_answers() {
  /usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).connect(sys.argv[1])' "$1" 2>/dev/null
}

# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds; false when
# SECONDS pass first. The limit only keeps a broken run from hanging; it is not a speed check.
poll() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# wait_for FILE FIXED-TEXT [SECONDS]: waits until FILE holds a line containing TEXT.
wait_for() {
  poll "${3:-30}" grep -qF -- "$2" "$1" 2>/dev/null || fail "no line containing '$2' in $1 after ${3:-30}s"
}

# Opens the console pipe as fd 3: start the stand-in with <&3, then `console WORDS`.
open_console() {
  mkfifo "$work/console"
  exec 3<>"$work/console"
}
console() { echo "$*" >&3; }

