# Shared by the end-to-end scripts: a private work directory, a console pipe for
# the stand-in, waiting for log lines, and a clean-up that stops every process the
# test started (children of children included) and removes what it made.
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

# wait_for FILE FIXED-TEXT [SECONDS]: waits until FILE holds a line containing TEXT.
# The limit only keeps a broken run from hanging; it is not a speed check.
wait_for() {
  local file=$1 text=$2 limit=${3:-30}
  local deadline=$((SECONDS + limit))
  until grep -qF -- "$text" "$file" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "no line containing '$text' in $file after ${limit}s"
    sleep 0.1
  done
}

# Opens the console pipe as fd 3: start the stand-in with <&3, then `console WORDS`.
open_console() {
  mkfifo "$work/console"
  exec 3<>"$work/console"
}
console() { echo "$*" >&3; }

