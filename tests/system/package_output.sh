#!/usr/bin/env bash
# scripts/package refuses an OUTPUT_DIR that is not safely the caller's, since
# what it leaves there is installed as root next: a folder of another user's (or
# one inside it), a symbolic link at its end or on the way to it (trailing slash
# or not), a folder others may write to. Each is refused
# with the reason before anything is built, and nothing is written there. Root
# plays the caller and makes the other user's folders (uid 65534).
#   package_output.sh SOURCE_DIR
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source_dir=$1
[ "$(id -u)" -eq 0 ] || skip "making another user's folders needs root"

stranger=65534
mkdir "$work/theirs" "$work/mine"
echo "their postinst" >"$work/theirs/veltovpn_2.0.0_amd64.deb"
chown -R "$stranger:$stranger" "$work/theirs"
# A link that the other user made, in a sticky folder as /tmp is, to a folder
# that would pass: whoever owns the link may point it elsewhere at any moment.
chmod 711 "$work"
mkdir -m 1777 "$work/sticky"
setpriv --reuid="$stranger" --regid="$stranger" --clear-groups ln -s "$work/mine" "$work/sticky/link"
mkdir -m 775 "$work/shared"

# OUTPUT_DIR | what the refusal says | the folder that must stay as it was
cases=(
  "$work/theirs|belongs to uid $stranger, not to uid 0|$work/theirs"
  "$work/theirs/new|lies in $work/theirs, which belongs to uid $stranger|$work/theirs"
  "$work/sticky/link|is a symbolic link|$work/mine"
  "$work/sticky/link/|is a symbolic link|$work/mine"
  "$work/sticky/link/new|passes through the symbolic link $work/sticky/link|$work/mine"
  "$work/sticky/../sticky/link//|is a symbolic link|$work/mine"
  "$work/shared|is writable by group or others (mode 775)|$work/shared"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r out reason untouched <<<"$entry"
  before=$(ls -lA --time-style=full-iso "$untouched")
  status=0
  "$source_dir/scripts/package" "$out" >"$work/package.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "$out: exit status $status, not 1"
  grep -qxF "package: refusing OUTPUT_DIR $out: it $reason" "$work/package.out" ||
    fail "$out: expected the reason '$reason', got: $(cat "$work/package.out")"
  [ "$(ls -lA --time-style=full-iso "$untouched")" = "$before" ] || fail "$out: $untouched was changed"
done
echo "PASS"
