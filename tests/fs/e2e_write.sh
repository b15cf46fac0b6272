#!/usr/bin/env bash
# Changing a phone through a read-write mount, the phone's storage folder compared with a model
# folder changed alongside after every step: copies, folders, deletes, case twins, files removed
# or replaced while open, extended attributes, the Finder's memory-only files, large files.

source "$(dirname "$0")/e2e_lib.sh"

# The phone's hidden copy of a removed file goes shortly after the last close.
expect_released() {
    eventually '[ -z "$(find "$STORE" -name ".kestrum-*")" ]' ||
        fail "a removed file is still on the phone after its last close"
}

case_files() {
    mount_writable "$1" "Write Phone"

    # The phone's own apps put a.txt and A.TXT side by side: each name reaches its own file.
    [ "$(cat "$MNT/a.txt")/$(cat "$MNT/A.TXT")" = lower/upper ] || fail "case twins mixed up"
    both 'echo more >>"$D/A.TXT"; rm "$D/a.txt"'
    # One pass of scandir that unlinks each entry as it goes sees every entry once.
    local seen
    seen=$(python3 -c 'import os, sys
n = 0
for entry in os.scandir(sys.argv[1]):
    os.unlink(entry.path)
    n += 1
print(n, len(os.listdir(sys.argv[1])))' "$MNT/Many")
    [ "$seen" = "400 0" ] || fail "scandir with unlink saw and left: $seen"
    rm "$REF"/Many/*
    check_phone

    # Copies, edits, renames and moves are fsx's; a name is taken under any spelling.
    expect_error "File exists" mkdir "$MNT/download"

    # A folder the phone fills after it was listed here is not empty, though the mount shows it so.
    both 'mkdir "$D/Inbox"'
    [ -z "$(ls "$MNT/Inbox")" ] || fail "a new folder is not empty"
    "$PHONESIM_CTL" addfile Inbox/late.bin 10 >/dev/null
    head -c 10 /dev/zero >"$REF/Inbox/late.bin"
    expect_error "Directory not empty" rmdir "$MNT/Inbox"
    MOUNT_EXCLUDE=Inbox
    check_phone

    # Other spellings the kernel has seen go with a delete or rename at once.
    echo alias >"$MNT/Download/alias.txt"
    cat "$MNT/Download/ALIAS.TXT" "$MNT/download/Alias.txt" >/dev/null
    mv "$MNT/Download/alias.txt" "$MNT/Download/renamed.txt"
    [ -e "$MNT/Download/ALIAS.TXT" ] && fail "a renamed file is still there under another spelling"
    cat "$MNT/Download/RENAMED.TXT" >/dev/null
    rm "$MNT/Download/renamed.txt"
    [ -e "$MNT/Download/RENAMED.TXT" ] && fail "a deleted file is still there under another spelling"

    # A name freed by a delete can come back as another type: a new node, never the old one.
    local old_inode
    old_inode=$(stat -c %i "$MNT/empty.txt")
    both 'rm "$D/empty.txt"; mkdir "$D/empty.txt"'
    [ "$(stat -c %F "$MNT/empty.txt")" = directory ] || fail "the new folder is not a folder"
    [ "$(stat -c %i "$MNT/empty.txt")" != "$old_inode" ] || fail "a node ID was reused"
    check_phone

    # Removed while open, a file keeps serving its descriptor until the last close.
    exec 3<"$MNT/c.txt"
    both 'rm "$D/c.txt"'
    [ "$(stat -L -c %s /proc/self/fd/3)/$(cat <&3)" = "14/first version" ] || fail "the removed file no longer serves"
    [ ! -e "$MNT/c.txt" ] || fail "the removed name is still there"
    diff -r --exclude='.kestrum-*' "$REF" "$STORE" >&2 || fail "the phone differs"
    exec 3<&-
    expect_released
    # Saving by replacement (sed -i writes beside the file and renames over it) while a reader
    # holds the old version.
    exec 3<"$MNT/Download/notes.txt"
    both 'sed -i s/notes/lines/ "$D/Download/notes.txt"'
    [ "$(cat "$MNT/Download/notes.txt")/$(cat <&3)" = lines/notes ] || fail "sed -i, or the reader lost its version"
    exec 3<&-
    expect_released
    check_phone

    local long command
    long=$(printf 'x%.0s' {1..255})
    for command in stat rm "truncate -s 0" "mv $MNT/A.TXT"; do
        expect_error "File name too long" $command "$MNT/$long"
    done

    # Extended attributes live in memory, flags as given.
    local x=$MNT/Download/notes.txt
    setfattr -n user.color -v red "$x"
    setfattr -n user.author -v "$(head -c 5000 /dev/zero | tr '\0' a)" "$x"
    [ "$(getfattr --absolute-names --only-values -n user.color "$x")" = red ] || fail "getfattr value"
    [ "$(getfattr --absolute-names --only-values -n user.author "$x" | wc -c)" = 5000 ] || fail "long value"
    [ "$(getfattr --absolute-names -m - "$x" | grep '^user' | tr '\n' ' ')" = \
        "user.author user.color " ] || fail "list order"
    setfattr -x user.color "$x"
    expect_error "No such attribute" getfattr -n user.color "$x"
    # The kernel's flags reach the volume: XATTR_CREATE over a name in use, XATTR_REPLACE of none.
    expect_error "File exists" python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.author", b"x", os.XATTR_CREATE)' "$x"
    expect_error "No data available" python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.none", b"x", os.XATTR_REPLACE)' "$x"

    # The Finder's own files stay in memory (fsx moves them about); there are no folders of
    # theirs, nor links.
    touch "$MNT/Download/.DS_Store"
    expect_error "Permission denied" mkdir "$MNT/._folder"
    expect_error "Permission denied" mv "$MNT/Download/notes.txt" "$MNT/Download/._notes"
    rm "$MNT/Download/.DS_Store"
    expect_error "Operation not supported" ln -s notes.txt "$MNT/Download/link"
    expect_error "Operation not supported" ln "$MNT/Download/notes.txt" "$MNT/Download/hard"
    expect_committed
    check_phone
}

# Bytes past and across 4 GiB, sequential reads as 4 MiB requests, a folder listed with one
# GetObjectPropList whatever ls asks, and a 1 GiB copy.
case_large() {
    STORE=$1
    begin_case
    image_attached SIM0001 "Big" --writable
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    local big=$(((5 << 30) + 12345)) range
    [ "$(stat -c %s "$MNT/huge.bin")" = "$big" ] || fail "size of the 5 GiB file"
    for range in "$((big - 100000)) 100000" "$(((4 << 30) - 4096)) 8192"; do
        set -- $range
        cmp <(dd if="$STORE/huge.bin" bs=64K iflag=skip_bytes,count_bytes skip="$1" count="$2" status=none) \
            <(dd if="$MNT/huge.bin" bs=64K iflag=skip_bytes,count_bytes skip="$1" count="$2" status=none) ||
            fail "the 5 GiB file differs at $1"
    done
    local before=$(phone_count 0x95C1) after
    cmp "$STORE/video.mp4" "$MNT/video.mp4" || fail "video differs"
    after=$(phone_count 0x95C1)
    note "64 MiB read sequentially with $((after - before)) GetPartialObject64 requests"
    [ $((after - before)) -ge 1 ] && [ $((after - before)) -le 18 ] ||
        fail "$((after - before)) GetPartialObject64 for 64 MiB"

    ls "$MNT/Pictures" >/dev/null
    before=$(phone_count 0x9805)
    [ "$(ls "$MNT/Pictures/Trip" | wc -l)" = 50 ] || fail "listing of 50 files"
    ls -l "$MNT/Pictures/Trip" >/dev/null
    after=$(phone_count 0x9805)
    [ $((after - before)) = 4 ] || fail "$((after - before)) GetObjectPropList for one folder"
    [ "$(stat -c %s "$MNT/Pictures/Trip/IMG_49.jpg")" = 4900 ] || fail "size from the list"

    # Sparse data, every 16 MiB different; --sparse=never sends every byte through the mount.
    local copy=$WORK/big started=$EPOCHREALTIME at
    truncate -s 1G "$copy"
    for ((at = 0; at < 1 << 30; at += 16 << 20)); do
        printf 'block at %d' "$at" | dd of="$copy" bs=1 seek="$at" conv=notrunc status=none
    done
    cp --sparse=never "$copy" "$MNT/big.bin" || fail "cp of a large file"
    note "cp 1024 MiB: $(millis_since "$started") ms"
    expect_committed
    cmp "$copy" "$STORE/big.bin" || fail "the phone's 1 GiB copy differs"
}

cases() {
    local root store i
    scratch root
    store=$root/files
    mkdir -p "$store/Download/Empty" "$store/DCIM/Camera" "$store/Many"
    printf 'notes\n' >"$store/Download/notes.txt"
    head -c 200000 /dev/urandom >"$store/DCIM/Camera/IMG_0001.jpg"
    echo lower >"$store/a.txt"
    echo upper >"$store/A.TXT"
    echo "first version" >"$store/c.txt"
    : >"$store/empty.txt"
    for ((i = 1; i <= 400; i++)); do : >"$store/Many/file$i"; done
    phone --storage "$store" -- case_files "$store"

    store=$root/large
    mkdir -p "$store/Pictures/Trip"
    truncate -s $(((5 << 30) + 12345)) "$store/huge.bin"
    head -c 100000 /dev/urandom | dd of="$store/huge.bin" bs=1 seek=$(((5 << 30) + 12345 - 100000)) \
        conv=notrunc status=none
    head -c 8192 /dev/urandom | dd of="$store/huge.bin" bs=1 seek=$(((4 << 30) - 4096)) \
        conv=notrunc status=none
    head -c $((64 << 20)) /dev/urandom >"$store/video.mp4"
    for ((i = 0; i < 50; i++)); do head -c $((i * 100)) /dev/zero >"$store/Pictures/Trip/IMG_$i.jpg"; done
    phone --storage "$store" -- case_large "$store"
}

e2e_main "$@"
