#!/usr/bin/env bash
# Usage: with_small_drive.sh SIZE PROGRAM [ARGS...]
# Runs a Windows program under Wine with a tmpfs of SIZE (as mount's size= takes it, for example
# 8m) mapped as a Wine drive, named to the program in STUB_SMALL_DRIVE (for example "T:"), so that
# a volume can really fill. The drive is a link to the mount point only, never to a device; the
# link, the mount and the mount point go again when the program ends, on every path. When mounting
# is refused (not root, or no mount rights) or no drive letter is free, the program runs without
# STUB_SMALL_DRIVE and says so; the tests that need the drive skip themselves then.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: $0 SIZE PROGRAM [ARGS...]" >&2; exit 2; }
size=$1
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${STUB_BUILD_DIR:-$root/build}
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
wine_script=$root/scripts/wine

# The prefix (and its dosdevices folder) must exist before a drive can be added to it.
[ -f "$WINEPREFIX/system.reg" ] || "$wine_script" wineboot </dev/null >/dev/null 2>&1 || true

mkdir -p "$build/tests"
mount_point=$(mktemp -d "$build/tests/small_drive.XXXXXX")
link=
mounted=
finish() {
  [ -n "$link" ] && rm -f -- "$link"
  # Wine's server may still hold the folder for a moment after the program ends.
  if [ -n "$mounted" ]; then
    umount -- "$mount_point" 2>/dev/null || umount -l -- "$mount_point" 2>/dev/null || true
  fi
  rmdir -- "$mount_point" 2>/dev/null || true
}
trap finish EXIT
trap 'exit 143' TERM INT HUP

if mount -t tmpfs -o "size=$size,mode=0755" tmpfs "$mount_point" 2>/dev/null; then
  mounted=1
  # Letters other programs of the suite may be mapping at the same moment are skipped by ln
  # itself: it refuses a name that exists, and the next letter is tried.
  for letter in t u v w x y s; do
    candidate=$WINEPREFIX/dosdevices/$letter:
    if [ ! -e "$candidate" ] && [ ! -L "$candidate" ] && ln -s -- "$mount_point" "$candidate" \
        2>/dev/null; then
      link=$candidate
      break
    fi
  done
fi
if [ -n "$link" ]; then
  export STUB_SMALL_DRIVE=$(basename "$link" | tr a-z A-Z)
else
  echo "note: no small drive could be mapped (mounting a tmpfs was refused or no drive letter" \
       "was free); the cases that need one are skipped"
fi
"$wine_script" "$@"
exit $?
