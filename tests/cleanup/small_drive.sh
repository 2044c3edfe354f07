#!/usr/bin/env bash
# Runs a Windows test program with an 8 MiB tmpfs mapped as a Wine drive, named to the program in
# STUB_SMALL_DRIVE (for example "S:"), so that a volume can really fill. The drive links to the
# mount point only, never to a device, and both go again when the program ends. When mounting is
# refused (not root, or no mount rights) the program runs without the drive, and its disk-full
# cases are covered through the seam alone.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${STUB_BUILD_DIR:-$root/build}
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
wine_script=$root/scripts/wine

# The prefix (and its dosdevices folder) must exist before a drive can be added to it.
[ -f "$WINEPREFIX/system.reg" ] || "$wine_script" wineboot </dev/null >/dev/null 2>&1 || true

mount_point=$(mktemp -d "$build/tests/small_drive.XXXXXX")
link=
mounted=
finish() {
  [ -n "$link" ] && rm -f -- "$link"
  # Wine's server may still hold the folder for a moment after the program ends.
  [ -n "$mounted" ] && { umount -- "$mount_point" 2>/dev/null || umount -l -- "$mount_point"; }
  rmdir -- "$mount_point" 2>/dev/null || true
}
trap finish EXIT
trap 'exit 143' TERM INT HUP

if mount -t tmpfs -o size=8m,mode=0755 tmpfs "$mount_point" 2>/dev/null; then
  mounted=1
  for letter in s t u v w x y; do
    candidate=$WINEPREFIX/dosdevices/$letter:
    if [ ! -e "$candidate" ] && [ ! -L "$candidate" ]; then
      ln -s -- "$mount_point" "$candidate" && link=$candidate
      break
    fi
  done
fi
if [ -n "$link" ]; then
  export STUB_SMALL_DRIVE=$(basename "$link" | tr a-z A-Z)
else
  echo "note: no small drive could be mapped (mounting a tmpfs was refused or no drive letter" \
       "was free); the disk-full cases run through the seam only"
fi
"$wine_script" "$@"
exit $?
