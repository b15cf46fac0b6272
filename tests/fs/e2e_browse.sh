#!/usr/bin/env bash
# Browsing and reading a phone through the mount: listings, attributes, case-insensitive names,
# whole files and ranges compared with the phone's own files, statistics, refusals.

source "$(dirname "$0")/e2e_lib.sh"

# A phone folder with photos, music and a nested tree; STORE is its path.
fill_store() {
    STORE=$1
    mkdir -p "$STORE/DCIM/Camera" "$STORE/Music/Artist/Album" "$STORE/Download"
    head -c 3000000 /dev/urandom >"$STORE/DCIM/Camera/IMG_0001.jpg"
    head -c 1234567 /dev/urandom >"$STORE/DCIM/Camera/IMG_0002.jpg"
    head -c 9000000 /dev/urandom >"$STORE/Music/Artist/Album/01 Track.mp3"
    printf 'hello from the phone\n' >"$STORE/Download/notes.txt"
    : >"$STORE/Download/empty.txt"
    touch -d '2024-03-05 10:20:30 UTC' "$STORE/Download/notes.txt"
}

case_one_storage() {
    begin_case
    image_attached SIM0001 "Test Phone"
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"

    ls -la "$MNT" >"$WORK/ls"
    for name in DCIM Music Download .DS_Store .metadata_never_index; do
        grep -q " $name\$" "$WORK/ls" || fail "ls -la lacks $name"
    done
    grep -q '^dr-xr-xr-x .* \.$' "$WORK/ls" || fail "the root is not a read-only directory"
    [ "$(stat -c '%a %F' "$MNT/Download/notes.txt")" = "444 regular file" ] ||
        fail "files are not 0444"
    [ "$(stat -c '%a %h' "$MNT/DCIM")" = "555 2" ] || fail "folders are not 0555 with 2 links"
    [ "$(stat -c %Y "$MNT/Download/notes.txt")" = "$(date -d '2024-03-05 10:20:30 UTC' +%s)" ] ||
        fail "modification time differs from the phone's"

    # Every file of the phone is there with its size and its bytes.
    diff <(cd "$STORE" && find . -type f -printf '%p %s\n' | sort) \
        <(cd "$MNT" && find . -type f ! -name '.[Dm]*' -printf '%p %s\n' | sort) >&2 ||
        fail "find lists other files or sizes"
    (cd "$STORE" && find . -type f) | while read -r file; do cmp "$STORE/$file" "$MNT/$file" || fail "$file differs"; done

    # Ranges at odd offsets, past the end, and from two readers at once.
    local f="Music/Artist/Album/01 Track.mp3"
    for range in "1 1" "4095 3" "7 100" "1000 333"; do
        set -- $range
        cmp <(dd if="$STORE/$f" bs=4096 skip="$1" count="$2" status=none) \
            <(dd if="$MNT/$f" bs=4096 skip="$1" count="$2" status=none) ||
            fail "dd skip=$1 count=$2 differs"
    done
    [ "$(dd if="$MNT/$f" bs=1 skip=9000000 count=10 status=none | wc -c)" = 0 ] ||
        fail "a read past the end returned bytes"
    cmp "$STORE/DCIM/Camera/IMG_0001.jpg" "$MNT/DCIM/Camera/IMG_0001.jpg" &
    cmp "$STORE/$f" "$MNT/$f" || fail "concurrent read differs"
    wait $! || fail "concurrent read differs"

    cmp "$STORE/DCIM/Camera/IMG_0002.jpg" "$MNT/dcim/CAMERA/img_0002.JPG" ||
        fail "case-insensitive path"
    [ "$(ls "$MNT/music/artist")" = Album ] || fail "ls of a lower-case path"
    [ -e "$MNT/DCIM/Camera/IMG_9999.jpg" ] && fail "a missing name exists"

    [ "$(stat -f -c %l "$MNT")" = 254 ] || fail "name length"
    [ "$(df -B1 --output=size "$MNT" | tail -n 1 | tr -d ' ')" = $((64 << 30)) ] ||
        fail "df size is not the storage's 64 GiB"

    [ -z "$(getfattr -d "$MNT/Download/notes.txt")" ] || fail "unexpected attributes"
    expect_error "No such attribute" getfattr -n user.kestrum "$MNT/Download/notes.txt"

    expect_error "Read-only file system" touch "$MNT/Download/new.txt"
    expect_error "Read-only file system" ln -s notes.txt "$MNT/Download/link"
    expect_error "" readlink "$MNT/Download/notes.txt"

    # The kernel forgets every node and asks again: the volume answers from its caches.
    local listings
    listings=$(phone_count 0x1007)
    sync
    echo 2 >/proc/sys/vm/drop_caches
    cmp "$STORE/DCIM/Camera/IMG_0001.jpg" "$MNT/Dcim/Camera/IMG_0001.jpg" ||
        fail "read after the kernel forgot the nodes"
    [ "$(phone_count 0x1007)" = "$listings" ] || fail "a cached folder was listed again"
}

case_two_storages() {
    begin_case
    image_attached SIM0001 "Two"
    mount_foreground "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"

    # The root lists one folder per storage ("/" in names becomes "-"), then the memory files.
    [ "$(ls -A "$MNT" | sort | tr '\n' '|')" = ".DS_Store|.metadata_never_index|Internal shared storage|Storage 2|" ] ||
        fail "root listing: $(ls -A "$MNT" | tr '\n' '|')"
    cmp "$STORE1/a.txt" "$MNT/Internal shared storage/a.txt" || fail "first storage"
    cmp "$STORE2/Photos/b.jpg" "$MNT/storage 2/photos/B.JPG" || fail "second storage"
    find "$MNT" >/dev/null
    fusermount3 -u "$MNT" || fail "fusermount3 -u"
    wait "$HELPER_PID" || fail "the foreground helper exited $?"
}

# Opcodes of the requests in the helper's FUSE trace ($WORK/helper.err, -o debug) after line
# FROM that reach the volume's queue: the loop itself answers opendir, releasedir, forget and
# getxattr while no attribute was set.
queued_since() {
    tail -n +"$1" "$WORK/helper.err" | grep -o 'opcode: [A-Z_]*' | cut -d' ' -f2 |
        grep -vx 'OPENDIR\|RELEASEDIR\|GETXATTR\|FORGET\|BATCH_FORGET' | tr '\n' ' ' || true
}

# A second ls -l is served by the kernel alone, read-only and writable; a change made through
# the volume shows in the next listing at once.
case_warm_listing() {
    begin_case
    local dir=$MNT/DCIM/Camera mode from writable=
    for mode in ro rw; do
        [ "$mode" = rw ] && writable=--writable
        image_attached SIM0001 "Warm" $writable
        mount_foreground "$PART" "$MNT" -o debug
        expect_mounted "$PART" "$MNT"
        ls -l "$dir" >/dev/null
        from=$(($(wc -l <"$WORK/helper.err") + 1))
        ls -l "$dir" >/dev/null
        # Writable: the kernel refreshes the folder's own attributes once after a listing that
        # reached the volume (its atime); nothing else.
        [[ "$(queued_since "$from")" =~ ^(GETATTR )?$ ]] ||
            fail "$mode: a second ls -l reached the volume: $(queued_since "$from")"
        [ "$mode" = ro ] && { fusermount3 -u "$MNT"; wait "$HELPER_PID" || true; }
    done
    from=$(($(wc -l <"$WORK/helper.err") + 1))
    ls -l "$dir" >/dev/null
    [ -z "$(queued_since "$from")" ] || fail "a third ls -l reached the volume"

    echo new >"$dir/new.jpg"
    rm "$dir/IMG_0001.jpg"
    mv "$dir/img_0002.JPG" "$dir/renamed.jpg"
    printf more >>"$dir/new.jpg"
    diff <(ls -l "$STORE/DCIM/Camera" | awk '{ print $5, $9 }') \
        <(ls -l "$dir" | awk '{ print $5, $9 }') >&2 || fail "a stale listing after changes"
    [ "$(ls "$dir" | tr '\n' ' ')" = "new.jpg renamed.jpg " ] || fail "listing: $(ls "$dir")"
}

cases() {
    local store store1 store2
    scratch store
    scratch store1
    scratch store2
    fill_store "$store"
    export STORE=$store STORE1=$store1 STORE2=$store2
    phone --storage "$store" -- case_one_storage
    echo one >"$store1/a.txt"
    mkdir "$store2/Photos"
    head -c 100000 /dev/urandom >"$store2/Photos/b.jpg"
    phone --storage "$store1" --storage "$store2" -- case_two_storages
    # Last: it changes the store.
    phone --storage "$store" -- case_warm_listing
}

e2e_main "$@"
