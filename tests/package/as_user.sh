#!/usr/bin/env bash
# Runs inside the installed Debian root as an ordinary user, under dbus-run-session and phonesim:
# Brisvale mounts the phone without any root step; it is read back, listed by GIO, and Brisvale
# unmounts it when terminated.
# Usage: as_user.sh STORE_FILE (the phone's file, to compare with).
set -euo pipefail
fail() { echo "as_user: $*" >&2; exit 1; }
stored=$1
name="Test Phone"
folder=$HOME/Phones/$name
# System tools must not see the virtual bus's preload.
plain() { env -u LD_PRELOAD "$@"; }

mounted() { [ "$(plain findmnt -n -o FSTYPE --mountpoint "$folder")" = fuse.mtpfs ]; }

brisvale --headless >"$HOME/brisvale.log" 2>&1 &
app=$!
for ((i = 0; i < 300; i++)); do mounted && break; sleep 0.2; done
mounted || { cat "$HOME/brisvale.log" >&2; fail "brisvale did not mount the phone"; }

cmp "$folder/song.bin" "$stored" || fail "the file does not read back byte-exact"
listing=$(plain gio mount -l 2>&1)
grep -q "$name -> file://$HOME/Phones/Test%20Phone" <<<"$listing" ||
    fail "gio mount -l does not list the phone: $listing"

kill -TERM "$app"
wait "$app" || fail "brisvale exited $?"
echo "as_user: mounted, read, listed and ejected"
