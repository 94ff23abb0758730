#!/usr/bin/env bash
# The Octave package as a user meets it: scripts/package makes the tarball
# from this source tree, and in a prefix and package lists of its own (the
# user's and everyone's packages are neither seen nor touched, velmora
# among them) pkg installs it, loads it, runs its built-in tests and
# uninstalls it, which must leave nothing behind. The device is pkg
# install's choice unless VELMORA_DEVICE says.
#   package_check.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp" "$work/dist"

tarball=$("$source_dir/scripts/package" "$work/dist")
version=$(head -n 1 "$source_dir/VERSION")

# The user's and everyone's package lists, to be found as they were.
lists=$(octave-cli --norc --no-history --quiet --eval 'printf ("%s\n%s\n", pkg ("local_list"), pkg ("global_list"))')
fingerprint() {
  while IFS= read -r list; do
    if [ -f "$list" ]; then md5sum <"$list"; else echo absent; fi
  done <<<"$lists"
}
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
  printf 'a package list changed:\n%s\n' "$lists"
  exit 1
fi
echo "package round trip: nothing left behind"
