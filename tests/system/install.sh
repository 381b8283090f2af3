#!/usr/bin/env bash
# `cmake --install` into a staging root lays out the Linux tree (programs, the
# agent's icons, the command link) and, on request, the macOS bundle tree (the
# packaged files are package.sh's). The installed command is then run: the
# stand-in starts the installed agent, which finds its icons and connects; as
# root, again as a user whose shared private directory another user took.
#   install.sh BUILD_DIR PROGRAM...
set -euo pipefail
source "$(dirname "$0")/lib.sh"
build=$1
shift
programs=("$@")
dest="$work/root"

# cmake --install writes its manifests into the build tree; keep only the ones
# that were there before.
for manifest in "$build"/install_manifest*.txt; do
  [ -e "$manifest" ] || continue
  cp -p "$manifest" "$work/" && extra_cleanup+=("cp -p '$work/$(basename "$manifest")' '$manifest'")
done
extra_cleanup+=("find '$build' -maxdepth 1 -name 'install_manifest*.txt' -newer '$work/stamp' -delete")
touch "$work/stamp"

for component in "" standin macos-bundle; do
  prefix=/usr
  [ "$component" != macos-bundle ] || prefix=/Applications
  DESTDIR="$dest" cmake --install "$build" --prefix "$prefix" ${component:+--component "$component"} \
    >>"$work/install.out" 2>&1 || fail "cmake --install ${component:-(default)} failed"
done

lib="$dest/usr/lib/veltovpn"
contents="$dest/Applications/veltoVpn.app/Contents"
for program in "${programs[@]}"; do
  [ -x "$lib/bin/$program" ] || fail "$program not installed in lib/veltovpn/bin"
  in_bundle="$contents/MacOS/$program"
  [ "$program" != veltovpn-helper ] || in_bundle="$contents/Library/LaunchServices/$program"
  [ -x "$in_bundle" ] || fail "$program missing in the bundle layout"
done
[ -x "$lib/bin/veltoVpn-bin" ] || fail "the stand-in component did not install veltoVpn-bin"
[ ! -e "$dest/Applications/veltoVpn.app/Contents/MacOS/veltoVpn-bin" ] ||
  fail "the stand-in went into the bundle layout unasked"
for icon in menubar-connected@2x.png menubar-disconnected@2x.png; do
  for dir in "$lib/Resources/menubar" "$dest/Applications/veltoVpn.app/Contents/Resources/menubar"; do
    head -c 8 "$dir/$icon" | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a" || fail "$dir/$icon is not a PNG"
  done
done
[ "$(readlink "$dest/usr/bin/veltovpn")" = ../lib/veltovpn/bin/VeltoVpnLauncher ] ||
  fail "bin/veltovpn does not point at the launcher"

if [[ " ${programs[*]} " != *" VeltoVpnLauncher "* || " ${programs[*]} " != *" veltovpn-menubar "* ]]; then
  echo "PASS (layout only: launcher or agent not built)"
  exit 0
fi

mkdir -p "$work/home"
mkdir -m 700 "$work/tmp"
export HOME="$work/home" TMPDIR="$work/tmp"
unset VELTOVPN_MENUBAR_SOCKET VELTOVPN_MENUBAR_ICON_DIR DISPLAY WAYLAND_DISPLAY
open_console
"$dest/usr/bin/veltovpn" --ping-ms=0 <&3 >>"$work/run.out" 2>&1 &
wait_for "$work/run.out" "--path=$lib/bin --res-mode=bundle"
wait_for "$work/tmp/veltovpn-menubar.log" "connected to bridge at $work/tmp/veltovpn-menubar.sock"
console quit
wait_for "$work/run.out" "stand-in exits"
wait_for "$work/tmp/veltovpn-menubar.log" "bridge socket EOF"
if grep -q "icon load failed" "$work/tmp/veltovpn-menubar.log"; then
  fail "the installed agent did not find its icons"
fi

# /tmp/veltovpn-<uid> taken by another user: the stand-in and the agent pass it
# over and meet in the user's cache folder (made private: private_directory_linux_test).
if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null; then
  echo "PASS (the run as another user needs root and setpriv)"
  exit 0
fi
uid=$((60000 + $$ % 5000))  # a user of this run alone: concurrent runs share /tmp
# From a folder the user can enter, whatever folder the test runs in.
as_user() { (cd / && exec setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}"); }
shared=/tmp/veltovpn-$uid
rm -rf "$shared"
extra_cleanup+=("rm -rf '$shared'")
as_user 65534 mkdir -m 777 "$shared" || fail "the stranger could not make $shared"
chmod 711 "$work"
user_home="$work/user-home"
mkdir -m 700 "$user_home"
chown "$uid:$uid" "$user_home"
cache="$user_home/.cache/veltovpn"
as_user "$uid" env -u TMPDIR -u XDG_CACHE_HOME HOME="$user_home" "$dest/usr/bin/veltovpn" --ping-ms=0 \
  <&3 >>"$work/user-run.out" 2>&1 &
wait_for "$work/user-run.out" "bridge listening on $cache/veltovpn-menubar.sock"
wait_for "$cache/veltovpn-menubar.log" "connected to bridge at $cache/veltovpn-menubar.sock"
for log in "$work/user-run.out" "$cache/veltovpn-menubar.log"; do
  grep -qF "private directory: skipped $shared: belongs to uid 65534, not to this user" "$log" ||
    fail "$log does not say why $shared was passed over"
done
[ -z "$(ls -A "$shared")" ] || fail "something was written into the stranger's $shared"
console quit
wait_for "$work/user-run.out" "stand-in exits"
echo "PASS"
