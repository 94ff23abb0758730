#!/usr/bin/env bash
# The Octave package as a user meets it: scripts/package makes the tarball
# from this source tree, and in a prefix and package list of its own (the
# user's packages are not touched) pkg installs it, loads it, runs its
# built-in tests and uninstalls it, which must leave nothing behind. The
# device is pkg install's choice unless VELMORA_DEVICE says.
#   package_check.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/dist"

tarball=$("$source_dir/scripts/package" "$work/dist")
version=$(head -n 1 "$source_dir/VERSION")

# The user's own package list, to be found as it was.
user_list=$(octave-cli --norc --no-history --quiet --eval 'disp (pkg ("local_list"))')
fingerprint() { if [ -f "$user_list" ]; then md5sum <"$user_list"; else echo absent; fi; }
before=$(fingerprint)

cd "$work"
TMPDIR="$work/tmp" octave-cli --norc --no-history --quiet --eval \
  "addpath ('$here'); package_round_trip ('$tarball', '$version', '$work')"

left=$(find "$work/prefix" "$work/arch" "$work/packages" -mindepth 1 2>/dev/null || true)
if [ -n "$left" ]; then
  printf 'uninstalling left behind:\n%s\n' "$left"
  exit 1
fi
if [ "$(fingerprint)" != "$before" ]; then
  echo "the user's package list $user_list changed"
  exit 1
fi
echo "package round trip: nothing left behind"
