#!/usr/bin/env bash
# Probe and load through mount.mtpfs: what is recognised, which phone is served, read-only or
# read-write, and that every failure exits with its status, says why and leaves nothing mounted.

source "$(dirname "$0")/e2e_lib.sh"

# A disk whose partition holds zeros, a device that is too short, a missing device, and usage
# errors.
case_refused() {
    begin_case
    head -c $((1 << 20)) /dev/zero >"$WORK/image"
    sgdisk -n 1:40:2014 "$WORK/image" >/dev/null 2>&1 || fail "sgdisk"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_failed 32 "mount.mtpfs: $PART: not an MTP placeholder"
    head -c 300 /dev/zero >"$WORK/short"
    printf 'MTPFSPH1' | dd of="$WORK/short" conv=notrunc status=none
    mount_phone "$WORK/short" "$MNT"
    expect_failed 32 "not an MTP placeholder"
    mount_phone "$WORK/missing" "$MNT"
    expect_failed 32 "$WORK/missing: No such file or directory"

    "$BIN/mount.mtpfs" "$WORK/short" 2>/dev/null && fail "one argument accepted"
    mount_phone "$WORK/short" "$MNT" -o no_such_option
    expect_failed 1 "no_such_option"
}

# A marker for SIM0001 served from the image with mount(8)'s own options, then from a plain file
# holding the partition; never on a missing mount point; SIM0002's by a second phone.
case_served() {
    begin_case
    make_image "$WORK/image" SIM0001 "My Phone"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT" -o defaults,nosuid,noatime,x-gvfs-hide
    expect_mounted "$PART" "$MNT"
    expect_log "serving My Phone (SIM0001) read-only"
    [ "$(cat "$MNT/hello.txt")" = hello ] || fail "content"
    [[ ",$(mount_options "$MNT")," == *,ro,nosuid,*noatime,* ]] ||
        fail "options not passed through: $(mount_options "$MNT")"
    # SIGTERM (a shutdown) unmounts and ends the helper.
    local pid
    pid=$(helper_pid "$MNT") || fail "no helper"
    kill -TERM "$pid"
    expect_ended "$pid"
    ! is_mounted "$MNT" || fail "still mounted after SIGTERM"

    dd if="$WORK/image" of="$WORK/partition" bs=512 skip=40 count=1975 status=none
    mount_phone "$WORK/partition" "$MNT"
    expect_mounted "$WORK/partition" "$MNT"
    [ "$(cat "$MNT/HELLO.TXT")" = hello ] || fail "content through a plain file"
    unmount "$MNT"
    mount_phone "$PART" "$WORK/nowhere"
    expect_failed 32 "$WORK/nowhere: No such file or directory"

    # With a second phone on the bus, each marker gets its own phone.
    "$PHONESIM_CTL" plug 2 >/dev/null
    make_image "$WORK/second" SIM0002 "Second"
    attach "$WORK/second"
    mount_phone "$PART" "$MNT"
    expect_log "serving Second (SIM0002) read-only"
    [ ! -e "$MNT/hello.txt" ] || fail "the second marker is served by the first phone"
    unmount "$MNT"
    mount_phone "$WORK/partition" "$MNT"
    [ "$(cat "$MNT/hello.txt")" = hello ] || fail "the first marker is served by the second phone"
}

# A marker asking for read-write: granted when the phone can edit, unless -o ro.
case_read_write() {
    begin_case
    make_image "$WORK/image" SIM0001 "Editable" --writable
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    expect_log "serving Editable (SIM0001) read-write"
    [[ ",$(mount_options "$MNT")," == *,rw,* ]] || fail "not mounted rw: $(mount_options "$MNT")"
    [ "$(stat -c %a "$MNT/hello.txt")" = 644 ] || fail "files of a writable volume are not 0644"
    # Times and modes are accepted and ignored; a new size reaches the phone.
    touch -d '2020-01-01' "$MNT/hello.txt" || fail "touch of a writable volume's file"
    chmod 600 "$MNT/hello.txt" || fail "chmod"
    truncate -s 4 "$MNT/cut.txt" || fail "truncate"
    : >"$MNT/empty.txt" || fail "open with O_TRUNC"
    unmount "$MNT"
    [ "$(phone_count 0x1003)" = 1 ] || fail "the unmount did not close the phone's session"
    [ "$(cat "$STORE/cut.txt")" = "0123" ] || fail "the phone's file was not cut"
    [ ! -s "$STORE/empty.txt" ] || fail "the phone's file was not emptied by O_TRUNC"

    mount_phone "$PART" "$MNT" -o ro
    expect_log "serving Editable (SIM0001) read-only"
    [[ ",$(mount_options "$MNT")," == *,ro,* ]] || fail "-o ro not honoured"
}

# A locked phone, one that is not attached and one in charging-only mode: EIO, said in the log,
# nothing mounted; unlocked, back and in file transfer, the same placeholder mounts.
case_not_served() {
    begin_case
    make_image "$WORK/image" SIM0001 "Locked"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_failed 5 "load SIM0001 failed: phone exposes no storage (locked?)"
    expect_log "mount.mtpfs: $PART: phone exposes no storage (locked?)"
    "$PHONESIM_CTL" unlock >/dev/null
    "$PHONESIM_CTL" unplug >/dev/null
    mount_foreground "$PART" "$MNT"
    expect_failed 5 "load SIM0001 failed: phone SIM0001 is not connected"
    "$PHONESIM_CTL" plug >/dev/null
    "$PHONESIM_CTL" charging-only >/dev/null
    mount_phone "$PART" "$MNT"
    expect_failed 5 "load SIM0001 failed: "
    "$PHONESIM_CTL" mtp >/dev/null
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
}

cases() {
    local store
    scratch store
    echo hello >"$store/hello.txt"
    echo 0123456789 >"$store/cut.txt"
    echo "not empty" >"$store/empty.txt"
    export STORE=$store
    nophone case_refused
    phone --storage "$store" -- case_served
    phone --storage "$store" -- case_read_write
    phone --storage "$store" --locked -- case_not_served
}

e2e_main "$@"
