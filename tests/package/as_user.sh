#!/usr/bin/env bash
# Runs inside the installed Debian root as an ordinary user, under dbus-run-session and phonesim:
# the phone is mounted without any root step, read back, listed by GIO, then ejected.
# Usage: as_user.sh STORE_FILE (the phone's file, to compare with).
set -euo pipefail
fail() { echo "as_user: $*" >&2; exit 1; }
stored=$1
name="Test Phone"
folder=$HOME/Phones/$name
# System tools must not see the virtual bus's preload.
plain() { env -u LD_PRELOAD "$@"; }

mounted() { [ "$(plain findmnt -n -o FSTYPE --mountpoint "$folder")" = fuse.mtpfs ]; }

if [ -x /usr/bin/brisvale ]; then
    brisvale --headless >"$HOME/brisvale.log" 2>&1 &
    app=$!
    for ((i = 0; i < 300; i++)); do mounted && break; sleep 0.2; done
    mounted || { cat "$HOME/brisvale.log" >&2; fail "brisvale did not mount the phone"; }
else
    # The disk tool's steps, by hand, until the app is installed.
    mkdir -p "$HOME/.cache/Kestrum" "$folder"
    image=$HOME/.cache/Kestrum/phone.img
    mkplaceholder "$image" SIM0001 "$name"
    out=$(plain udisksctl loop-setup --no-user-interaction -r -f "$image") || fail "loop-setup"
    loop=$(sed -n 's/.* as \(\/dev\/loop[0-9]*\)\..*/\1/p' <<<"$out")
    [ -n "$loop" ] || fail "udisksctl said: $out"
    mount.mtpfs "$loop" "$folder" -o ro || fail "mount.mtpfs $loop"
fi

cmp "$folder/song.bin" "$stored" || fail "the file does not read back byte-exact"
listing=$(plain gio mount -l 2>&1)
grep -q "$name -> file://$HOME/Phones/Test%20Phone" <<<"$listing" ||
    fail "gio mount -l does not list the phone: $listing"

if [ -n "${app:-}" ]; then
    kill -TERM "$app"
    wait "$app" || fail "brisvale exited $?"
else
    plain fusermount3 -u "$folder"
    plain udisksctl loop-delete --no-user-interaction -b "$loop" >/dev/null
    rm "$image"
    rmdir "$folder"
fi
echo "as_user: mounted, read, listed and ejected"
