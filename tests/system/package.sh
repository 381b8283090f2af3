#!/usr/bin/env bash
# The Debian packages built by system.packages: clean under lintian, installed
# with apt-get (unit accepted by systemd, manual pages, desktop files; the group,
# readiness and the running unit are container.sh's), then purged to nothing but
# the group. Needs root (it installs into this system).
#   package.sh SOURCE_DIR VERSION DEB_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source_dir=$1
version=$2
deb_dir=$3

[ "$(id -u)" -eq 0 ] || skip "installing packages needs root"
need_tools dpkg-buildpackage lintian apt-get systemd-analyze man appstreamcli desktop-file-validate
if dpkg-query -W -f='${Status}\n' veltovpn veltovpn-helper 2>/dev/null | grep -q "ok installed"; then
  skip "veltovpn packages are installed here; this test would remove them"
fi

# The installed helper takes over the helper's socket path while this runs.
socket_answers "$VELTOVPN_HELPER_SOCKET" && skip "a helper is serving $VELTOVPN_HELPER_SOCKET here"

changelog_version=$(cd "$source_dir" && dpkg-parsechangelog -S Version)
[ "$changelog_version" = "${version//-/\~}" ] ||
  fail "debian/changelog is at $changelog_version, the programs at $version"

# What exists before, so that only what the packages leave behind counts later.
ours() { find -H /etc /lib /usr /var /run -xdev -iname '*veltovpn*' 2>/dev/null | sort; }
ours >"$work/before.list"

# DEB_DIR, made by scripts/package for this run, must be the caller's alone.
[ "$(stat -c %a:%u "$deb_dir")" = "700:0" ] || fail "$deb_dir is $(stat -c %a:%u "$deb_dir"), not private"

# Lintian refuses root: it reads copies as nobody, from a folder of nobody's.
nobody_home="$work/nobody-home"
mkdir "$nobody_home"
chown 65534:65534 "$nobody_home"
chmod 711 "$work"
as_nobody() { (cd "$nobody_home" && exec setpriv --reuid=65534 --regid=65534 --clear-groups "$@"); }
cp -r "$deb_dir" "$nobody_home/debs"
chown -R 65534:65534 "$nobody_home/debs"
chmod -R go+rX "$nobody_home/debs"  # apt reads them too, as _apt
helper_deb=$(ls "$nobody_home"/debs/veltovpn-helper_*.deb)
app_deb=$(ls "$nobody_home"/debs/veltovpn_*.deb)
as_nobody env HOME="$nobody_home" lintian --fail-on error,warning "$nobody_home"/debs/*.changes \
  >"$work/lintian.out" 2>&1 ||
  fail "lintian: $(grep -E '^[EW]:' "$work/lintian.out" || cat "$work/lintian.out")"

purge() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y veltovpn veltovpn-helper >>"$work/apt.out" 2>&1
}
extra_cleanup+=("dpkg-query -W veltovpn-helper >/dev/null 2>&1 && purge")
DEBIAN_FRONTEND=noninteractive apt-get install -y "$helper_deb" "$app_deb" >"$work/apt.out" 2>&1 ||
  fail "apt-get install failed"

unit=/lib/systemd/system/veltovpn-helper.service
# Its Documentation= page is read below, as a user: root's man would leave a
# formatted copy in man-db's cache.
systemd-analyze verify --man=no "$unit" >"$work/verify.out" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.out")"
[ ! -s "$work/verify.out" ] || fail "systemd-analyze verify complains: $(cat "$work/verify.out")"
helper=$(sed -n 's/^ExecStart=//p' "$unit")
[ -x "$helper" ] || fail "the unit starts $helper, which is not installed"
dpkg -S "$helper" | grep -q "^veltovpn-helper:" || fail "$helper is not veltovpn-helper's"

for page in "8 veltovpn-helper" "1 veltovpn" "1 veltovpn-menubar"; do
  # shellcheck disable=SC2086
  MANWIDTH=80 as_nobody man --warnings -P cat $page >"$work/man.out" 2>"$work/man.err" || fail "man $page failed"
  grep -q "^NAME" "$work/man.out" || fail "man $page shows no page"
  [ ! -s "$work/man.err" ] || fail "man $page: $(cat "$work/man.err")"
done

desktop=/usr/share/applications/veltovpn.desktop
desktop-file-validate "$desktop" >"$work/desktop.out" 2>&1 || fail "desktop entry: $(cat "$work/desktop.out")"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon $icon is not installed"
appstreamcli validate --no-net /usr/share/metainfo/*.metainfo.xml >"$work/appstream.out" 2>&1 ||
  fail "AppStream metadata: $(cat "$work/appstream.out")"

# The main application comes from its own package: the launcher finds none and
# says so (no development stand-in is shipped in its place).
mkdir -p "$work/home"
status=0
HOME="$work/home" /usr/bin/veltovpn 2>"$work/launcher.out" || status=$?
[ "$status" -eq 113 ] || fail "veltovpn without veltoVpn-bin exited $status, not 113"

purge || fail "apt-get purge failed"
ours >"$work/after.list"
left=$(comm -13 "$work/before.list" "$work/after.list")
[ -z "$left" ] || fail "left after purge: $left"
echo "PASS"
