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
# A requirement must pin the team and name each client identifier (by default
# the launcher's, com.example, and the main binary's, com.example.bin).
both='(identifier "com.example" or identifier "com.example.bin")'
# requirement | what the refusal says, or nothing when it is accepted
requirements=(
  "|VELTOVPN_ALLOW_UNCHECKED_CLIENTS"
  "anchor apple generic and identifier \"com.example\" and certificate leaf[subject.OU] = \"T1\"|does not name identifier \"com.example.bin\""
  "anchor apple generic and $both|does not pin the team"
  "anchor apple generic and certificate leaf[subject.OU] = \"T1\" and $both & <x>|"
)
for entry in "${requirements[@]}"; do
  IFS='|' read -r requirement refusal <<<"$entry"
  if plists "$requirement" OFF; then
    [ -z "$refusal" ] || fail "'$requirement' was accepted"
  else
    [ -n "$refusal" ] || fail "'$requirement' was refused: $(cat "$work/plists.out")"
    grep -qF "$refusal" "$work/plists.out" || fail "'$requirement': no '$refusal' in $(cat "$work/plists.out")"
    grep -qF "$both" "$work/plists.out" || fail "'$requirement': the example does not name both clients"
  fi
done
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
assert c[0].endswith("\"com.example.bin\") & <x>"), c' "$work/helper-Info.plist" || fail "the requirement did not survive as XML text"
[ "$(readlink "$contents/Frameworks/Sparkle.framework/Versions/Current")" = B ] ||
  fail "the framework's Versions/Current link was not kept"

# Signed with a stand-in codesign that records its arguments: each client
# executable gets its identifier from the list, the bundle (the launcher) comes
# last; a bundle without the main binary is not signed at all.
mkdir "$work/tools"
printf '#!/bin/sh\necho "$*" >>"%s/codesign.log"\n' "$work" >"$work/tools/codesign"
chmod 755 "$work/tools/codesign"
sign() {
  rm -f "$work/codesign.log"
  PATH="$work/tools:$PATH" cmake -DAPP="$work/veltoVpn.app" -DIDENTITY=T1 -DHELPER_NAME=com.example.helper \
    -DVELTOVPN_HELPER_CLIENT_IDENTIFIERS="VeltoVpnLauncher=com.example;veltoVpn-bin=com.example.bin" \
    -P "$root/cmake/sign-macos-app.cmake" >"$work/sign.out" 2>&1
}
! sign || fail "a bundle without veltoVpn-bin was signed"
# CMake wraps the message's lines.
tr -s ' \n' '  ' <"$work/sign.out" | grep -qF "MacOS/veltoVpn-bin is not in the bundle" || fail "signing: $(cat "$work/sign.out")"
cp "$bin/VeltoVpnLauncher" "$contents/MacOS/veltoVpn-bin"
sign || fail "signing: $(cat "$work/sign.out")"
flags="--force --options runtime --timestamp --sign T1"
signed="$flags --identifier com.example.helper $contents/Library/LaunchServices/com.example.helper
$flags $contents/MacOS/veltovpn-menubar
$flags --identifier com.example.bin $contents/MacOS/veltoVpn-bin
$flags --identifier com.example $work/veltoVpn.app"
[ "$(cat "$work/codesign.log")" = "$signed" ] || fail "signed: $(cat "$work/codesign.log")"
rm "$contents/MacOS/veltoVpn-bin"

# Laid out again without a framework: nothing left of the earlier bundle, and no
# Frameworks folder (a link stub never ships).
touch "$contents/stale"
assemble
[ "$(layout)" = "$(grep -v Frameworks <<<"$expected")" ] || fail "second layout: $(layout)"
[ ! -e "$contents/Frameworks" ] || fail "Frameworks exists though no framework was given"
echo "macOS build checks passed"
