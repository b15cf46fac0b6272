#!/usr/bin/env bash
# Probe and load through mount.mtpfs: what is recognised, which phone is served, read-only or
# read-write, and that every failure exits with its status, says why and leaves nothing mounted.

source "$(dirname "$0")/e2e_lib.sh"

expect_nothing_mounted() {
    is_mounted "$MNT" && fail "$MNT is mounted after a failure"
    [ -z "$(helper_pid "$MNT")" ] || fail "a helper still runs after a failure"
    true
}

case_not_a_marker() {
    begin_case
    # A disk whose partition holds zeros, a device that is too short, and a missing device.
    head -c $((1 << 20)) /dev/zero >"$WORK/image"
    sgdisk -n 1:40:2014 "$WORK/image" >/dev/null 2>&1 || fail "sgdisk"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_status 32
    expect_log "mount.mtpfs: $PART: not an MTP placeholder"
    expect_nothing_mounted

    head -c 300 /dev/zero >"$WORK/short"
    printf 'MTPFSPH1' | dd of="$WORK/short" conv=notrunc status=none
    mount_phone "$WORK/short" "$MNT"
    expect_status 32
    expect_log "not an MTP placeholder"

    mount_phone "$WORK/missing" "$MNT"
    expect_status 32
    expect_log "$WORK/missing: No such file or directory"
    expect_nothing_mounted

    # Usage errors.
    LD_PRELOAD= "$BIN/mount.mtpfs" "$WORK/short" 2>/dev/null && fail "one argument accepted"
    local status=0
    "$BIN/mount.mtpfs" "$WORK/short" "$MNT" -o no_such_option 2>"$WORK/err" || status=$?
    [ "$status" = 1 ] || fail "an unknown option exited $status"
    grep -q "no_such_option" "$WORK/err" || fail "the unknown option is not named"
    true
}

# A marker for SIM0001 served from the image, from a plain file holding the partition, and with
# mount(8)'s own options given.
case_served() {
    begin_case
    make_image "$WORK/image" SIM0001 "My Phone"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT" -o defaults,nosuid,noatime,x-gvfs-hide
    expect_mounted "$PART" "$MNT"
    expect_log "serving My Phone (SIM0001) read-only"
    [ "$(cat "$MNT/hello.txt")" = hello ] || fail "content"
    local options
    options=$(mount_options "$MNT")
    [[ ",$options," == *,nosuid,* && ",$options," == *,noatime,* ]] ||
        fail "options not passed through: $options"
    # SIGTERM (a shutdown) unmounts and ends the helper.
    local pid i
    pid=$(helper_pid "$MNT") || fail "no helper"
    kill -TERM "$pid"
    for ((i = 0; i < 100; i++)); do is_running "$pid" || break; sleep 0.05; done
    is_running "$pid" && fail "the helper ignores SIGTERM"
    is_mounted "$MNT" && fail "still mounted after SIGTERM"

    # The partition's bytes in a plain file (512-byte blocks) work as well.
    dd if="$WORK/image" of="$WORK/partition" bs=512 skip=40 count=1975 status=none
    mount_phone "$WORK/partition" "$MNT"
    expect_mounted "$WORK/partition" "$MNT"
    [ "$(cat "$MNT/HELLO.TXT")" = hello ] || fail "content through a plain file"
    unmount "$MNT"

    # The mount point must exist.
    mount_phone "$PART" "$WORK/nowhere"
    expect_status 32
    expect_log "$WORK/nowhere: No such file or directory"
    true
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
    # Links are refused; times and modes are accepted and ignored; a new size reaches the phone.
    expect_error "Operation not supported" ln -s hello.txt "$MNT/link"
    expect_error "Operation not supported" ln "$MNT/hello.txt" "$MNT/hard"
    touch -d '2020-01-01' "$MNT/hello.txt" || fail "touch of a writable volume's file"
    chmod 600 "$MNT/hello.txt" || fail "chmod"
    truncate -s 4 "$MNT/cut.txt" || fail "truncate"
    [ "$(cat "$MNT/cut.txt")" = "0123" ] || fail "truncated content: $(cat "$MNT/cut.txt")"
    : >"$MNT/empty.txt" || fail "open with O_TRUNC"
    [ "$(stat -c %s "$MNT/empty.txt")" = 0 ] || fail "O_TRUNC did not empty the file"
    unmount "$MNT"
    [ "$(cat "$STORE/cut.txt")" = "0123" ] || fail "the phone's file was not cut"
    [ ! -s "$STORE/empty.txt" ] || fail "the phone's file was not emptied by O_TRUNC"

    mount_phone "$PART" "$MNT" -o ro
    expect_mounted "$PART" "$MNT"
    expect_log "serving Editable (SIM0001) read-only"
    [[ ",$(mount_options "$MNT")," == *,ro,* ]] || fail "-o ro not honoured"
    true
}

# A locked phone and a phone that is not attached: EIO, said in the log, nothing mounted.
case_not_served() {
    begin_case
    make_image "$WORK/image" SIM0001 "Locked"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_status 5
    expect_log "load SIM0001 failed: phone exposes no storage (locked?)"
    expect_log "mount.mtpfs: $PART: phone exposes no storage (locked?)"
    expect_nothing_mounted
    "$PHONESIM_CTL" unlock >/dev/null
    "$PHONESIM_CTL" unplug >/dev/null
    mount_foreground "$PART" "$MNT"
    expect_status 5
    expect_log "load SIM0001 failed: phone SIM0001 is not connected"
    expect_nothing_mounted
    # Unlocked and back, the same placeholder mounts.
    "$PHONESIM_CTL" plug >/dev/null
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    true
}

cases() {
    local store
    scratch store
    echo hello >"$store/hello.txt"
    echo 0123456789 >"$store/cut.txt"
    echo "not empty" >"$store/empty.txt"
    export STORE=$store

    nophone case_not_a_marker
    phone --storage "$store" -- case_served
    phone --storage "$store" -- case_read_write
    phone --storage "$store" --locked -- case_not_served
}

e2e_main "$@"
