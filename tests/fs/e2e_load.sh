#!/usr/bin/env bash
# Probe and load through mount.mtpfs: what is recognised, which phone is served, read-only or
# read-write, by whom, and that every failure exits with its status, says why and leaves nothing
# mounted.

source "$(dirname "$0")/e2e_lib.sh"
USER_ID=65534

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
    image_attached SIM0001 "My Phone"
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

    dd if="$IMAGE" of="$WORK/partition" bs=512 skip=40 count=1975 status=none
    mount_phone "$WORK/partition" "$MNT"
    expect_mounted "$WORK/partition" "$MNT"
    [ "$(cat "$MNT/HELLO.TXT")" = hello ] || fail "content through a plain file"
    unmount "$MNT"
    mount_phone "$PART" "$WORK/nowhere"
    expect_failed 32 "$WORK/nowhere: No such file or directory"

    # With a second phone on the bus, each marker gets its own phone.
    "$PHONESIM_CTL" plug 2 >/dev/null
    image_attached SIM0002 "Second"
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
    image_attached SIM0001 "Editable" --writable
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    expect_log "serving Editable (SIM0001) read-write"
    [[ ",$(mount_options "$MNT")," == *,rw,* ]] || fail "not mounted rw: $(mount_options "$MNT")"
    [ "$(stat -c %a "$MNT/hello.txt")" = 644 ] || fail "files of a writable volume are not 0644"
    # Times and modes are accepted and ignored (sizes are fsx's).
    touch -d '2020-01-01' "$MNT/hello.txt" || fail "touch of a writable volume's file"
    chmod 600 "$MNT/hello.txt" || fail "chmod"
    unmount "$MNT"
    [ "$(phone_count 0x1003)" = 1 ] || fail "the unmount did not close the phone's session"

    mount_phone "$PART" "$MNT" -o ro
    expect_log "serving Editable (SIM0001) read-only"
    [[ ",$(mount_options "$MNT")," == *,ro,* ]] || fail "-o ro not honoured"
}

# A locked phone, one that is not attached and one in charging-only mode: EIO, said in the log,
# nothing mounted; unlocked, back and in file transfer, the same placeholder mounts.
case_not_served() {
    begin_case
    image_attached SIM0001 "Locked"
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

# check_user_mount [DEVICE]: mounted from DEVICE (default the partition), served to the user.
check_user_mount() {
    expect_mounted "${1:-$PART}" "$MNT"
    expect_log "serving User Phone (SIM0001) read-only"
    local helper
    helper=$(helper_pid "$MNT") || fail "no helper"
    [ "$(stat -c %u "/proc/$helper")" = "$USER_ID" ] || fail "the helper does not run as the user"
    [ "$($AS stat -c %u "$MNT/hello.txt")" = "$USER_ID" ] || fail "files not owned by the user"
    [ "$($AS cat "$MNT/HELLO.TXT")" = hello ] || fail "content read by the user"
    $AS fusermount3 -u "$MNT" || fail "the user cannot unmount"
    expect_ended "$helper"
}

# mount.mtpfs run by an unprivileged user (nobody) who owns the mount point: the mount goes
# through fusermount3, and the marker is read from the device node or, when the node is root's
# alone, through the loop device's backing file.
case_user() {
    AS="setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups --"
    getent passwd "$USER_ID" >/dev/null || skip "no user $USER_ID on this machine"
    [ -u "$(command -v fusermount3)" ] || skip "fusermount3 is not setuid root"
    begin_case
    # What a desktop session's udev rules (uaccess) give the user: the phone's USB device. The
    # test bed's folder must be writable too: libusb's hot-plug socket is created there.
    chmod 1777 "$UMOCKDEV_DIR"
    chmod -R a+rwX "$UMOCKDEV_DIR/dev" "$UMOCKDEV_DIR/ioctl"
    # Desktop systems leave /dev/fuse open to everyone (0666); some containers do not.
    if ! $AS test -r /dev/fuse -a -w /dev/fuse; then
        defer "chmod $(stat -c %a /dev/fuse) /dev/fuse"
        chmod 666 /dev/fuse || skip "/dev/fuse cannot be opened by the user"
    fi
    image_attached SIM0001 "User Phone"
    chown "$USER_ID" "$MNT" "$PART"
    mount_phone "$PART" "$MNT"
    check_user_mount

    # The device node is root's only (0600): read through /sys/.../loop/backing_file.
    chown 0 "$PART"
    chmod 600 "$PART"
    $AS head -c 1 "$PART" >/dev/null 2>&1 && fail "the node is still readable by the user"
    mount_phone "$PART" "$MNT"
    check_user_mount

    # The whole loop device, root's alone as well: a user gets no partition device where the
    # kernel has no GPT parser, so partition 1 is found from the image's partition table.
    chmod 600 "$LOOP"
    mount_phone "$LOOP" "$MNT"
    check_user_mount "$LOOP"

    # A mount point the user does not own: refused, nothing left behind.
    MNT=$WORK/other
    mkdir "$MNT"
    mount_phone "$PART" "$MNT"
    expect_failed 32 "$MNT"
}

cases() {
    local store
    scratch store
    echo hello >"$store/hello.txt"
    export STORE=$store
    nophone case_refused
    phone --storage "$store" -- case_served
    phone --storage "$store" -- case_read_write
    phone --storage "$store" --locked -- case_not_served
    phone --storage "$store" -- case_user
}

e2e_main "$@"
