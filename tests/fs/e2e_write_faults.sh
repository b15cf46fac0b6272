#!/usr/bin/env bash
# A read-write mount while the phone fails: full storage, refused renames and moves, and the
# phone pulled out in the middle of a write. Faults are set through phonesim's control socket
# while the mount is in use; the phone's folders are compared with a model afterwards.

source "$(dirname "$0")/e2e_lib.sh"


fault() {
    local answer
    answer=$("$PHONESIM_CTL" fault "$@") || fail "phonesim-ctl fault $*"
    [ "$answer" = ok ] || fail "fault $*: $answer"
}


# The storage fills up in the middle of a file: ENOSPC, and the phone keeps the file as far as
# it was written (and synced).
case_store_full() {
    mount_writable "$1" "Fault Phone" --foreground
    head -c 3000000 /dev/urandom >"$WORK/data"
    python3 - "$MNT/Download/full.bin" "$WORK/data" "$PHONESIM_CTL" <<'PY' || fail "ENOSPC"
import errno, os, subprocess, sys
path, source, ctl = sys.argv[1:]
data = open(source, "rb").read()
fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
assert os.write(fd, data[:2000000]) == 2000000
os.fsync(fd)
subprocess.run([ctl, "fault", "storefull"], check=True, stdout=subprocess.DEVNULL)
# The host gathers writes into runs: the phone's refusal comes at a write or at fsync.
try:
    os.write(fd, data[2000000:])
    os.fsync(fd)
    sys.exit("writing to a full phone succeeded")
except OSError as e:
    assert e.errno == errno.ENOSPC, e
os.close(fd)
PY
    head -c 2000000 "$WORK/data" >"$REF/Download/full.bin"
    expect_log "write full.bin"
    [ "$(stat -c %s "$MNT/Download/full.bin")" = 2000000 ] || fail "size after ENOSPC"
    # cp says so too, and leaves what it wrote (nothing).
    expect_error "No space left on device" cp "$WORK/data" "$MNT/Download/copy.bin"
    : >"$REF/Download/copy.bin"
    fault clear
    check_phone
    # Room again: the same file goes on where it stopped.
    tail -c +2000001 "$WORK/data" >>"$MNT/Download/full.bin"
    cp "$WORK/data" "$REF/Download/full.bin"
    check_phone
    [ "$("$PHONESIM_CTL" edits)" = ok ] || fail "an edit stayed open"
}

# A run of gathered writes fails on the phone: the writers learn it (a reader's close does not
# take it from them) and the phone keeps a prefix of what was written, never a gap of zeros.
case_failed_run() {
    mount_writable "$1" "Fault Phone" --foreground
    head -c $((12 << 20)) /dev/urandom >"$WORK/src"
    fault fail 0x95C2 0x2002 1 1
    dd if="$WORK/src" of="$MNT/Download/h.bin" bs=1M status=none 2>/dev/null &&
        fail "dd over a failed run succeeded"
    local size
    size=$(stat -c %s "$STORE/Download/h.bin")
    note "the phone kept $size of 12 MiB"
    head -c "$size" "$WORK/src" >"$REF/Download/h.bin"
    check_phone

    fault fail 0x95C2 0x2002 1
    python3 - "$MNT/Download/y.bin" <<'PY' || fail "the writer did not learn of the failed run"
import errno, os, sys
path = sys.argv[1]
a = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
b = os.open(path, os.O_RDONLY)
seen = None
try:
    os.write(a, b"a" * (4 << 20))
    os.close(b)  # a reader's close: no error, and it takes none from the writer
    os.write(a, b"b" * (1 << 20))
except OSError as e:
    seen = e.errno
try:
    os.close(a)
except OSError as e:
    seen = seen or e.errno
sys.exit(0 if seen == errno.EIO else "the writer saw %s" % seen)
PY
    size=$(stat -c %s "$STORE/Download/y.bin")
    head -c "$size" /dev/zero | tr '\0' a >"$REF/Download/y.bin"
    check_phone
}

# Renames the phone refuses half way are undone: the destination keeps its content and name.
case_rename_fails() {
    mount_writable "$1" "Fault Phone" --foreground
    mkdir "$MNT/From" "$MNT/To" "$REF/From" "$REF/To"
    echo source >"$MNT/From/a.txt"
    echo source >"$REF/From/a.txt"
    echo destination >"$MNT/To/b.txt"
    echo destination >"$REF/To/b.txt"
    # The item has its temporary name when the move fails: it gets its own name back.
    fault fail 0x1019 0x2002
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/To/b.txt"
    expect_log "rename a.txt"
    check_phone
    # Later steps fail: the destination was already moved aside (second SetObjectPropValue),
    # or the item already moved (third): every step is undone.
    echo other >"$MNT/From/b.txt"
    echo other >"$REF/From/b.txt"
    fault fail 0x9804 0x2002 1 1
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/From/b.txt"
    check_phone
    fault fail 0x9804 0x2002 1 2
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/To/b.txt"
    check_phone
    [ "$(cat "$MNT/From/b.txt")" = other ] || fail "the item replaced in its folder changed"
    rm "$MNT/From/b.txt" "$REF/From/b.txt"
    # The renaming after the item was moved fails (every SetObjectPropValue refused): moved
    # back, nothing replaced.
    fault fail 0x9804 0x2002 -1
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/From/b.txt"
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/To/c.txt"
    fault clear
    check_phone
    [ "$(cat "$MNT/To/b.txt")" = destination ] || fail "the destination lost its content"

    # A phone that cannot move objects: EXDEV, and mv copies instead.
    fault fail 0x1019 0x2005 -1
    mv "$MNT/From/a.txt" "$MNT/To/c.txt" || fail "mv after EXDEV"
    mv "$REF/From/a.txt" "$REF/To/c.txt"
    mv "$MNT/To/b.txt" "$MNT/From/"
    mv "$REF/To/b.txt" "$REF/From/"
    fault clear
    check_phone
}

# The phone is pulled out during a write: the writer gets an error within the transport's
# limits, never hangs, and a lazy unmount lets the helper end.
case_unplug() {
    mount_writable "$1" "Fault Phone" --foreground
    local helper status=0 started=$EPOCHREALTIME elapsed
    helper=$(helper_pid "$MNT") || fail "no helper"
    fault unplug-after 5000000
    timeout 60 dd if=/dev/zero of="$MNT/Download/cut.bin" bs=1M count=64 status=none ||
        status=$?
    elapsed=$(((${EPOCHREALTIME/./} - ${started/./}) / 1000))
    note "dd ended with status $status after $elapsed ms"
    [ "$status" != 0 ] || fail "a write to an unplugged phone succeeded"
    [ "$status" != 124 ] || fail "the write hung"
    fusermount3 -u -z "$MNT" || fail "lazy unmount"
    local i
    for ((i = 0; i < 200; i++)); do
        is_running "$helper" || break
        sleep 0.05
    done
    is_running "$helper" && fail "the helper still runs after the unmount"
    true
}

fill_store() {
    mkdir -p "$1/Download"
    printf 'notes\n' >"$1/Download/notes.txt"
}

cases() {
    local root store
    scratch root
    for name in case_store_full case_failed_run case_rename_fails case_unplug; do
        store=$root/$name
        mkdir -p "$store"
        fill_store "$store"
        phone --storage "$store" -- "$name" "$store"
    done
}

e2e_main "$@"
