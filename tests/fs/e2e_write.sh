#!/usr/bin/env bash
# Changing a phone through a read-write mount: copies, edits in place, appends, truncation,
# folders, renames and moves, deletes, saving by replacement, extended attributes and the
# Finder's memory-only files. After every step the phone's storage folders are compared with a
# model folder changed in parallel, so that anything the phone got that it should not have (a
# leftover temporary name, a memory-only file, a tail past the end) shows.

source "$(dirname "$0")/e2e_lib.sh"

# No edit is left open on the phone: what programs closed has been committed.
expect_committed() {
    [ "$("$PHONESIM_CTL" edits)" = ok ] || fail "edits still open after close: $("$PHONESIM_CTL" edits)"
}

case_files() {
    mount_writable "$1" "Write Phone"
    local pattern=$WORK/pattern
    head -c 3000000 /dev/urandom >"$pattern"

    # Copies: small, empty, and large enough to span many writes.
    echo "hello phone" >"$MNT/hello.txt"
    echo "hello phone" >"$REF/hello.txt"
    : >"$MNT/empty.txt"
    : >"$REF/empty.txt"
    cp "$pattern" "$MNT/Download/pattern.bin"
    cp "$pattern" "$REF/Download/pattern.bin"
    expect_committed
    cmp "$pattern" "$STORE/Download/pattern.bin" || fail "the phone's copy differs"
    cmp "$pattern" "$MNT/Download/pattern.bin" || fail "the copy reads back differently"
    check_phone

    # In place: overwrite in the middle, append, truncate down and up.
    local f
    for f in "$MNT/Download/pattern.bin" "$REF/Download/pattern.bin"; do
        printf 'PATCHED' | dd of="$f" bs=1 seek=1234567 conv=notrunc status=none
        head -c 100000 /dev/zero | dd of="$f" bs=4096 seek=100 conv=notrunc status=none
    done
    # Overwriting cuts the file first (O_TRUNC), as does cp over an existing file.
    echo "hello again" >"$MNT/hello.txt"
    echo "hello again" >"$REF/hello.txt"
    cp "$MNT/hello.txt" "$MNT/Download/pattern.copy"
    cp "$REF/hello.txt" "$REF/Download/pattern.copy"
    cp "$pattern" "$MNT/Download/pattern.copy"
    cp "$pattern" "$REF/Download/pattern.copy"
    echo "hello phone" >"$MNT/Download/pattern.copy"
    echo "hello phone" >"$REF/Download/pattern.copy"
    echo "second line" >>"$MNT/hello.txt"
    echo "second line" >>"$REF/hello.txt"
    expect_committed
    check_phone
    truncate -s 1000000 "$MNT/Download/pattern.bin" "$REF/Download/pattern.bin"
    check_phone
    truncate -s 5000000 "$MNT/Download/pattern.bin" "$REF/Download/pattern.bin"
    expect_committed
    [ "$(stat -c %s "$MNT/Download/pattern.bin")" = 5000000 ] || fail "size after truncate -s"
    check_phone
    # A hole left by a write past the end reads as zeros.
    printf 'tail' | dd of="$MNT/empty.txt" bs=1 seek=70000 status=none
    printf 'tail' | dd of="$REF/empty.txt" bs=1 seek=70000 status=none
    check_phone

    # Folders and names.
    mkdir -p "$MNT/Projects/2024/Q1" "$REF/Projects/2024/Q1"
    echo plan >"$MNT/Projects/2024/Q1/plan.txt"
    echo plan >"$REF/Projects/2024/Q1/plan.txt"
    expect_error "File exists" mkdir "$MNT/projects"
    mv "$MNT/hello.txt" "$MNT/greeting.txt"
    mv "$REF/hello.txt" "$REF/greeting.txt"
    mv "$MNT/greeting.txt" "$MNT/Projects/"
    mv "$REF/greeting.txt" "$REF/Projects/"
    mv "$MNT/Projects/2024/Q1/plan.txt" "$MNT/Download/plan-q1.txt"
    mv "$REF/Projects/2024/Q1/plan.txt" "$REF/Download/plan-q1.txt"
    check_phone
    # Over an existing file, in its folder and from another one.
    echo old >"$MNT/Download/target.txt"
    echo old >"$REF/Download/target.txt"
    echo new >"$MNT/Download/source.txt"
    echo new >"$REF/Download/source.txt"
    mv -f "$MNT/Download/source.txt" "$MNT/Download/target.txt"
    mv -f "$REF/Download/source.txt" "$REF/Download/target.txt"
    mv -f "$MNT/Projects/greeting.txt" "$MNT/Download/target.txt"
    mv -f "$REF/Projects/greeting.txt" "$REF/Download/target.txt"
    [ "$(head -n 1 "$MNT/Download/TARGET.TXT")" = "hello again" ] || fail "replaced content"
    check_phone
    # A folder moves with its content.
    mv "$MNT/Projects/2024" "$MNT/Download/"
    mv "$REF/Projects/2024" "$REF/Download/"
    check_phone

    # Deletes; a folder the phone fills after it was listed here is not empty.
    rm "$MNT/Download/plan-q1.txt"
    rm "$REF/Download/plan-q1.txt"
    rmdir "$MNT/Download/2024/Q1"
    rmdir "$REF/Download/2024/Q1"
    mkdir "$MNT/Inbox" "$REF/Inbox"
    [ -z "$(ls "$MNT/Inbox")" ] || fail "a new folder is not empty"
    "$PHONESIM_CTL" addfile Inbox/late.bin 10 >/dev/null
    head -c 10 /dev/zero >"$REF/Inbox/late.bin"
    expect_error "Directory not empty" rmdir "$MNT/Inbox"
    # The volume's listings do not follow changes made on the phone: the mount still shows
    # the folder empty.
    MOUNT_EXCLUDE=Inbox
    expect_error "Directory not empty" rmdir "$MNT/Download"
    rm -r "$MNT/Download/2024"
    rm -r "$REF/Download/2024"
    expect_error "No such file" rm "$MNT/missing.txt"
    check_phone

    # Other spellings the kernel has cached go with a delete or rename at once (not after the
    # entry timeout).
    echo alias >"$MNT/Download/alias.txt"
    cat "$MNT/Download/ALIAS.TXT" "$MNT/download/Alias.txt" >/dev/null
    mv "$MNT/Download/alias.txt" "$MNT/Download/renamed.txt"
    [ -e "$MNT/Download/ALIAS.TXT" ] && fail "a renamed file is still there under another spelling"
    cat "$MNT/Download/RENAMED.TXT" >/dev/null
    rm "$MNT/Download/renamed.txt"
    [ -e "$MNT/Download/RENAMED.TXT" ] && fail "a deleted file is still there under another spelling"
    check_phone

    # A name freed by a delete can come back as another type: a new node, never the old one.
    local old_inode
    old_inode=$(stat -c %i "$MNT/empty.txt")
    rm "$MNT/empty.txt"
    rm "$REF/empty.txt"
    mkdir "$MNT/empty.txt" "$REF/empty.txt"
    [ "$(stat -c %F "$MNT/empty.txt")" = directory ] || fail "the new folder is not a folder"
    [ "$(stat -c %i "$MNT/empty.txt")" != "$old_inode" ] || fail "a node ID was reused"
    check_phone

    # Saving by replacement: sed -i (temporary file, rename over), and write, fsync, rename.
    printf 'alpha\nbeta\n' >"$MNT/Download/notes.txt"
    printf 'alpha\nbeta\n' >"$REF/Download/notes.txt"
    sed -i 's/beta/gamma/' "$MNT/Download/notes.txt"
    sed -i 's/beta/gamma/' "$REF/Download/notes.txt"
    [ "$(cat "$MNT/Download/notes.txt")" = "$(printf 'alpha\ngamma')" ] || fail "sed -i"
    local save
    for save in "$MNT" "$REF"; do
        python3 - "$save/Download/notes.txt" <<'EOF'
import os, sys
path = sys.argv[1]
temporary = path + ".saving"
with open(temporary, "wb") as f:
    f.write(b"saved safely\n" * 1000)
    f.flush()
    os.fsync(f.fileno())
os.rename(temporary, path)
EOF
    done
    check_phone

    # Extended attributes live in memory: set, list, read, replace, remove.
    local x=$MNT/Download/notes.txt
    setfattr -n user.color -v red "$x"
    setfattr -n user.author -v "$(head -c 5000 /dev/zero | tr '\0' a)" "$x"
    [ "$(getfattr --absolute-names --only-values -n user.color "$x")" = red ] || fail "getfattr value"
    [ "$(getfattr -d --absolute-names "$x" | grep -c '^user\.')" = 2 ] || fail "getfattr -d"
    [ "$(getfattr --absolute-names --only-values -n user.author "$x" | wc -c)" = 5000 ] || fail "long value"
    [ "$(getfattr --absolute-names -m - "$x" | grep '^user' | tr '\n' ' ')" = \
        "user.author user.color " ] || fail "list order"
    setfattr -n user.color -v blue "$x"
    [ "$(getfattr --absolute-names --only-values -n user.color "$x")" = blue ] || fail "replaced value"
    setfattr -x user.color "$x"
    expect_error "No such attribute" getfattr -n user.color "$x"
    expect_error "No such attribute" setfattr -x user.color "$x"
    python3 - "$x" <<'EOF' || fail "setxattr flags"
import errno, os, sys
path = sys.argv[1]
try:
    os.setxattr(path, "user.author", b"x", os.XATTR_CREATE)
    sys.exit("XATTR_CREATE over an existing attribute succeeded")
except OSError as e:
    assert e.errno == errno.EEXIST, e
try:
    os.setxattr(path, "user.none", b"x", os.XATTR_REPLACE)
    sys.exit("XATTR_REPLACE of a missing attribute succeeded")
except OSError as e:
    assert e.errno == errno.ENODATA, e
os.setxattr(path, "user.none", b"x", os.XATTR_CREATE)
EOF
    setfattr -n user.folder -v yes "$MNT/Download"
    [ "$(getfattr --absolute-names --only-values -n user.folder "$MNT/Download")" = yes ] || fail "folder xattr"
    check_phone

    # The Finder's own files stay in memory.
    touch "$MNT/Download/.DS_Store" "$MNT/Download/._notes.txt"
    head -c 70000 /dev/urandom >"$WORK/finder"
    cp "$WORK/finder" "$MNT/Download/._notes.txt"
    cmp "$WORK/finder" "$MNT/Download/._notes.txt" || fail "a memory file reads back differently"
    mv "$MNT/Download/._notes.txt" "$MNT/._moved"
    [ "$(stat -c %s "$MNT/._moved")" = 70000 ] || fail "a moved memory file"
    python3 - "$MNT/._big" <<'EOF' || fail "a memory file past 16 MiB"
import errno, os, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT)
assert os.pwrite(fd, b"x", (16 << 20) - 1) == 1
try:
    os.pwrite(fd, b"x", 16 << 20)
    sys.exit("a write past 16 MiB succeeded")
except OSError as e:
    assert e.errno == errno.EFBIG, e
os.close(fd)  # the error came at the write: close has none left
os.unlink(sys.argv[1])
EOF
    expect_error "Permission denied" mkdir "$MNT/._folder"
    expect_error "Permission denied" mv "$MNT/Download/notes.txt" "$MNT/Download/._notes"
    rm "$MNT/Download/.DS_Store"
    expect_committed
    check_phone

    # Links are refused.
    expect_error "Operation not supported" ln -s notes.txt "$MNT/Download/link"
    expect_error "Operation not supported" ln "$MNT/Download/notes.txt" "$MNT/Download/hard"
    check_phone
}

# A 1 GiB copy through the mount; its bytes compared with the phone's. Sparse pattern data:
# fast to make, yet every 16 MiB differs.
case_large() {
    mount_writable "$1" "Write Phone"
    local big=$WORK/big size=$((1 << 30)) step
    truncate -s "$size" "$big"
    for ((step = 0; step < size; step += 16 << 20)); do
        printf 'block at %d' "$step" | dd of="$big" bs=1 seek="$step" conv=notrunc status=none
    done
    local started=$EPOCHREALTIME
    # Every byte goes through the mount (cp would otherwise seek over the holes).
    cp --sparse=never "$big" "$MNT/Download/big.bin" || fail "cp of a large file"
    note "cp $((size >> 20)) MiB: $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"
    expect_committed
    cmp "$big" "$STORE/Download/big.bin" || fail "the phone's 1 GiB copy differs"
    [ "$(stat -c %s "$MNT/Download/big.bin")" = "$size" ] || fail "size in the mount"
    rm "$MNT/Download/big.bin"
    check_phone
}

# Two storages: moves between them come back as EXDEV and mv copies instead.
case_storages() {
    local store1=$1 store2=$2
    mount_writable "$store1" "Write Phone"
    local ref2=$WORK/model2 top1="$MNT/Internal shared storage" top2="$MNT/Storage 2"
    cp -a "$store2/." "$ref2"
    [ -d "$top2" ] || fail "no folder for the second storage: $(ls "$MNT")"
    echo "travels" >"$top1/Download/travel.txt"
    mkdir -p "$top1/Trip/Day1"
    head -c 300000 /dev/urandom >"$top1/Trip/Day1/photo.jpg"
    cp -a "$top1/Trip" "$REF/"
    mv "$top1/Download/travel.txt" "$top2/"
    echo "travels" >"$ref2/travel.txt"
    mv "$top1/Trip" "$top2/Trip"
    mv "$REF/Trip" "$ref2/Trip"
    check_phone "$store1" "$REF" "$top1"
    check_phone "$store2" "$ref2" "$top2"
    expect_error "Permission denied" touch "$MNT/at-the-root.txt"
    expect_committed
}

# A read-only mount refuses every kind of change and leaves the phone as it was.
case_readonly() {
    STORE=$1
    begin_case
    REF=$WORK/model
    cp -a "$STORE/." "$REF"
    make_image "$WORK/image" SIM0001 "Read Phone"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    local ro="Read-only file system" f=$MNT/Download/notes.txt
    expect_error "$ro" touch "$MNT/Download/new.txt"
    expect_error "$ro" bash -c "echo more >>'$f'"
    expect_error "$ro" dd if=/dev/zero of="$f" bs=1 count=1 conv=notrunc status=none
    expect_error "$ro" truncate -s 0 "$f"
    expect_error "$ro" mkdir "$MNT/Download/new"
    expect_error "$ro" rm "$f"
    expect_error "$ro" rmdir "$MNT/Download/Empty"
    expect_error "$ro" mv "$f" "$MNT/Download/renamed.txt"
    expect_error "$ro" setfattr -n user.a -v b "$f"
    expect_error "$ro" ln -s x "$MNT/Download/link"
    expect_error "$ro" touch "$MNT/Download/.DS_Store"
    check_phone
}

# A phone folder with a few files; STORE is its path.
fill_store() {
    mkdir -p "$1/Download/Empty" "$1/DCIM/Camera"
    printf 'notes\n' >"$1/Download/notes.txt"
    head -c 200000 /dev/urandom >"$1/DCIM/Camera/IMG_0001.jpg"
}

cases() {
    local store store2 root
    scratch root
    store=$root/files
    mkdir -p "$store"
    fill_store "$store"
    phone --storage "$store" -- case_files "$store"

    store=$root/large
    mkdir -p "$store/Download"
    phone --storage "$store" -- case_large "$store"

    store=$root/one
    store2=$root/two
    mkdir -p "$store/Download" "$store2"
    phone --storage "$store" --storage "$store2" -- case_storages "$store" "$store2"

    store=$root/readonly
    mkdir -p "$store"
    fill_store "$store"
    phone --storage "$store" -- case_readonly "$store"
}

e2e_main "$@"
