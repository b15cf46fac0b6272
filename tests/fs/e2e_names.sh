#!/usr/bin/env bash
# Names and listings through the kernel: names that differ only in case, deleting while
# listing, over-long names, and files that stay readable after they are removed or replaced
# while open, as on a local file system.

source "$(dirname "$0")/e2e_lib.sh"

# The phone's own apps put a.txt and A.TXT side by side: each name reaches its own file.
case_twins() {
    mount_writable "$1" "Names Phone"
    [ "$(cat "$MNT/a.txt")" = lower ] || fail "a.txt reads $(cat "$MNT/a.txt")"
    [ "$(cat "$MNT/A.TXT")" = upper ] || fail "A.TXT reads $(cat "$MNT/A.TXT")"
    echo more >>"$MNT/A.TXT"
    printf 'upper\nmore\n' >"$REF/A.TXT"
    rm "$MNT/a.txt"
    rm "$REF/a.txt"
    check_phone

    # One pass of scandir that unlinks each entry as it goes sees every entry once.
    local seen
    seen=$(python3 -c '
import os, sys
n = 0
for entry in os.scandir(sys.argv[1]):
    os.unlink(entry.path)
    n += 1
print(n, len(os.listdir(sys.argv[1])))' "$MNT/Many")
    [ "$seen" = "400 0" ] || fail "scandir with unlink saw and left: $seen"
    rm "$REF"/Many/*
    check_phone

    local long
    long=$(printf 'x%.0s' {1..255})
    expect_error "File name too long" stat "$MNT/$long"
    expect_error "File name too long" rm "$MNT/$long"
    expect_error "File name too long" mv "$MNT/A.TXT" "$MNT/$long"
    expect_error "File name too long" truncate -s 0 "$MNT/$long"
    check_phone
}

# The kernel sends the release of a closed descriptor on its own time: the phone's hidden copy
# of a removed file goes shortly after the last close.
expect_released() {
    local i
    for i in $(seq 1 50); do
        [ -z "$(find "$STORE" -name '.kestrum-*')" ] && return
        sleep 0.1
    done
    fail "a removed file is still on the phone after its last close"
}

# Removed or replaced while open, a file keeps serving its descriptors until the last closes.
case_open() {
    mount_writable "$1" "Open Phone"
    exec 3<"$MNT/c.txt"
    rm "$MNT/c.txt"
    rm "$REF/c.txt"
    [ "$(cat <&3)" = "first version" ] || fail "the removed file no longer reads"
    [ "$(stat -L -c %s /proc/self/fd/3)" = 14 ] || fail "fstat of the removed file"
    [ ! -e "$MNT/c.txt" ] || fail "the removed name is still there"
    diff -r --exclude='.kestrum-*' "$REF" "$STORE" >&2 || fail "the phone differs"
    exec 3<&-
    expect_released
    check_phone

    # Saving by replacement: the editor writes beside the file and renames over it.
    exec 3<"$MNT/doc.txt"
    echo "new draft" >"$MNT/.doc.txt.swp"
    mv "$MNT/.doc.txt.swp" "$MNT/doc.txt"
    echo "new draft" >"$REF/doc.txt"
    [ "$(cat "$MNT/doc.txt")" = "new draft" ] || fail "the new version is not in place"
    [ "$(cat <&3)" = "old draft" ] || fail "the reader lost the version it opened"
    exec 3<&-
    expect_released
    check_phone
}

cases() {
    local store root
    scratch root
    store=$root/twins
    mkdir -p "$store/Many"
    echo lower >"$store/a.txt"
    echo upper >"$store/A.TXT"
    (cd "$store/Many" && for i in $(seq 1 400); do : >"file$i"; done)
    phone --storage "$store" -- case_twins "$store"

    store=$root/open
    mkdir -p "$store"
    echo "first version" >"$store/c.txt"
    echo "old draft" >"$store/doc.txt"
    phone --storage "$store" -- case_open "$store"
}

e2e_main "$@"
