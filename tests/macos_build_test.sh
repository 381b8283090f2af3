#!/usr/bin/env bash
# The parts of the macOS build that run on any host: check-macos-build's skip
# path (CI has no SDK), the property lists, and the bundle layout script with
# stand-in programs and a stand-in framework.
#   macos_build_test.sh SOURCE_DIR
set -euo pipefail
root=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
check="$root/scripts/check-macos-build"
export VELTOVPN_MACOS_CHECK_DIR="$work/check"

# Without arguments the check is skipped, says so, succeeds and builds nothing.
out=$("$check") || fail "the skip path exited with $?"
grep -q "SKIPPED" <<<"$out" || fail "the skip path does not say it skipped: $out"
[ ! -e "$work/check" ] || fail "the skip path built something"

# Bundle layout from stand-ins.
bin="$work/bin"
mkdir -p "$bin" "$work/icons" "$work/fw/Sparkle.framework/Versions/B"
for program in VeltoVpnLauncher veltovpn-menubar veltovpn-helper veltovpn-standin; do
  printf '#!/bin/sh\n' >"$bin/$program"
  chmod 755 "$bin/$program"
done
# The property lists as a build writes them; a build that names no client
# requirement is refused unless unchecked clients are allowed.
plists() {
  cmake -DVELTOVPN_PLIST_SOURCE_DIR="$root" -DVELTOVPN_PLIST_OUTPUT_DIR="$work" \
    -DVELTOVPN_BUNDLE_ID=com.example -DVELTOVPN_VERSION_STRING="${VELTOVPN_VERSION:?set by CTest from the build}" \
    -DVELTOVPN_HELPER_CODE_REQUIREMENT="$1" -DVELTOVPN_ALLOW_UNCHECKED_CLIENTS="$2" \
    -P "$root/cmake/macos-plists.cmake" >"$work/plists.out" 2>&1
}
! plists "" OFF || fail "a build without a client requirement was not refused"
grep -q "VELTOVPN_ALLOW_UNCHECKED_CLIENTS" "$work/plists.out" || fail "the refusal does not name the option"
plists 'anchor apple generic and identifier "com.example" and certificate leaf[subject.OU] = "T1" & <x>' OFF ||
  fail "plists with a requirement: $(cat "$work/plists.out")"
touch "$work/icons/menubar-connected@2x.png" "$work/icons/menubar-disconnected@2x.png" "$work/icons/notes.txt"
touch "$work/fw/Sparkle.framework/Versions/B/Sparkle"
ln -s B "$work/fw/Sparkle.framework/Versions/Current"
ln -s Versions/Current/Sparkle "$work/fw/Sparkle.framework/Sparkle"

assemble() {
  cmake -DAPP="$work/veltoVpn.app" -DBIN_DIR="$bin" -DINFO_PLIST="$work/Info.plist" \
    -DLAUNCHD_PLIST="$work/com.example.helper.plist" -DHELPER_NAME=com.example.helper \
    -DICON_DIR="$work/icons" "$@" \
    -P "$root/cmake/assemble-macos-app.cmake" >/dev/null
}

contents="$work/veltoVpn.app/Contents"
layout() { (cd "$contents" && find . ! -type d | LC_ALL=C sort); }
assemble -DSPARKLE_FRAMEWORK="$work/fw/Sparkle.framework"
expected="./Frameworks/Sparkle.framework/Sparkle
./Frameworks/Sparkle.framework/Versions/B/Sparkle
./Frameworks/Sparkle.framework/Versions/Current
./Info.plist
./Library/LaunchDaemons/com.example.helper.plist
./Library/LaunchServices/com.example.helper
./MacOS/VeltoVpnLauncher
./MacOS/veltovpn-menubar
./PkgInfo
./Resources/menubar/menubar-connected@2x.png
./Resources/menubar/menubar-disconnected@2x.png"
[ "$(layout)" = "$expected" ] || fail "bundle layout: $(layout)"
for program in MacOS/VeltoVpnLauncher MacOS/veltovpn-menubar Library/LaunchServices/com.example.helper; do
  [ -x "$contents/$program" ] || fail "$program is not executable"
done
python3 "$root/scripts/macos_bundle_check.py" "$work/veltoVpn.app" --no-sections >/dev/null ||
  fail "$(python3 "$root/scripts/macos_bundle_check.py" "$work/veltoVpn.app" --no-sections)"
python3 -c 'import plistlib, sys; c = plistlib.load(open(sys.argv[1], "rb"))["SMAuthorizedClients"]
assert c[0].endswith("\"T1\" & <x>"), c' "$work/helper-Info.plist" || fail "the requirement did not survive as XML text"
[ "$(readlink "$contents/Frameworks/Sparkle.framework/Versions/Current")" = B ] ||
  fail "the framework's Versions/Current link was not kept"

# Laid out again without a framework: nothing left of the earlier bundle, and no
# Frameworks folder (a link stub never ships).
touch "$contents/stale"
assemble
[ "$(layout)" = "$(grep -v Frameworks <<<"$expected")" ] || fail "second layout: $(layout)"
[ ! -e "$contents/Frameworks" ] || fail "Frameworks exists though no framework was given"
echo "macOS build checks passed"
