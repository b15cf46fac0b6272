#!/usr/bin/env bash
# A read-write mount while the phone fails (faults set through phonesim's control socket): full
# storage, a failed run of gathered writes, refused renames and moves, transport errors, unplugging.

source "$(dirname "$0")/e2e_lib.sh"

# The storage fills up in the middle of a file: ENOSPC, the phone keeps the file as far as it was
# synced, and with room again the file goes on where it stopped.
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
# Writes are gathered into runs: the phone's refusal comes at a write or at fsync.
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
    expect_error "No space left on device" cp "$WORK/data" "$MNT/Download/copy.bin"
    : >"$REF/Download/copy.bin"
    fault clear
    check_phone
    tail -c +2000001 "$WORK/data" >>"$MNT/Download/full.bin"
    cp "$WORK/data" "$REF/Download/full.bin"
    check_phone
    expect_committed
}

# A run of gathered writes fails on the phone: the writers learn it (a reader's close does not
# take it from them) and the phone keeps a prefix of what was written, never a gap of zeros.
case_failed_run() {
    mount_writable "$1" "Fault Phone" --foreground
    head -c $((12 << 20)) /dev/urandom >"$WORK/src"
    fault fail 0x95C2 0x2002 1 1
    dd if="$WORK/src" of="$MNT/Download/h.bin" bs=1M status=none 2>/dev/null &&
        fail "dd over a failed run succeeded"
    head -c "$(stat -c %s "$STORE/Download/h.bin")" "$WORK/src" >"$REF/Download/h.bin"
    check_phone

    fault fail 0x95C2 0x2002 1
    python3 - "$MNT/Download/y.bin" <<'PY' || fail "the writer did not learn of the failed run"
import errno, os, sys
a = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_EXCL)
b = os.open(sys.argv[1], os.O_RDONLY)
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
    head -c "$(stat -c %s "$STORE/Download/y.bin")" /dev/zero | tr '\0' a >"$REF/Download/y.bin"
    check_phone
}

# Renames the phone refuses half way are undone: the destination keeps its content and name.
case_rename_fails() {
    mount_writable "$1" "Fault Phone" --foreground
    both 'mkdir "$D/From" "$D/To"; echo source >"$D/From/a.txt"; echo destination >"$D/To/b.txt"
          echo other >"$D/From/b.txt"'
    # The item has its temporary name when the move fails: it gets its own name back.
    fault fail 0x1019 0x2002
    expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/To/b.txt"
    expect_log "rename a.txt"
    check_phone
    # Later steps fail: the destination was already moved aside (second SetObjectPropValue), or
    # the item already moved (third), or every renaming is refused: every step is undone.
    local steps
    for steps in "1 1 From/b.txt" "1 2 To/b.txt" "-1 From/b.txt" "-1 To/c.txt"; do
        fault fail 0x9804 0x2002 ${steps% *}
        expect_error "Input/output error" mv -f "$MNT/From/a.txt" "$MNT/${steps##* }"
        check_phone
    done
    fault clear
    [ "$(cat "$MNT/To/b.txt")/$(cat "$MNT/From/b.txt")" = destination/other ] ||
        fail "a replaced file lost its content"

    # A phone that cannot move objects: EXDEV, and mv copies instead.
    fault fail 0x1019 0x2005 -1
    both 'mv "$D/From/a.txt" "$D/To/c.txt"; mv "$D/To/b.txt" "$D/b.txt"'
    fault clear
    check_phone
}

# A listing that fails in transport is EIO and not kept. The phone pulled out during a write: the
# writer gets an error and never hangs, files fail with EIO, listings stay, the helper ends.
case_transport() {
    mount_writable "$1" "Fault Phone" --foreground
    fault stall-in 0x9805
    expect_error "Input/output error" ls "$MNT/Download"
    expect_log "list Download: "
    [ "$(ls "$MNT/Download")" = notes.txt ] || fail "the listing after a failed one"

    local status=0 started=$EPOCHREALTIME
    fault unplug-after 5000000
    timeout 60 dd if=/dev/zero of="$MNT/Download/cut.bin" bs=1M count=64 status=none || status=$?
    note "dd ended with status $status after $(millis_since "$started") ms"
    [ "$status" != 0 ] || fail "a write to an unplugged phone succeeded"
    [ "$status" != 124 ] || fail "the write hung"
    expect_error "Input/output error" cat "$MNT/Download/notes.txt"
    ls "$MNT" >/dev/null || fail "ls of what was listed"
    fusermount3 -u -z "$MNT" || fail "lazy unmount"
    expect_ended "$HELPER_PID"
}

cases() {
    local root name
    scratch root
    for name in case_store_full case_failed_run case_rename_fails case_transport; do
        mkdir -p "$root/$name/Download"
        printf 'notes\n' >"$root/$name/Download/notes.txt"
        phone --storage "$root/$name" -- "$name" "$root/$name"
    done
}

e2e_main "$@"
