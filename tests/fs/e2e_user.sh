#!/usr/bin/env bash
# mount.mtpfs run by an unprivileged user (nobody) who owns the mount point: the mount goes
# through fusermount3, and the marker is read from the device node or, when the node is root's
# alone, through the loop device's backing file.

source "$(dirname "$0")/e2e_lib.sh"

USER_ID=65534
AS="setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups --"

# check_user_mount [DEVICE]: mounted from DEVICE (default the partition), served to the user.
check_user_mount() {
    expect_mounted "${1:-$PART}" "$MNT"
    expect_log "serving User Phone (SIM0001) read-only"
    local helper
    helper=$(helper_pid "$MNT") || fail "no helper"
    [ "$(stat -c %u "/proc/$helper")" = "$USER_ID" ] || fail "the helper does not run as the user"
    [ "$($AS stat -c %u "$MNT/song.mp3")" = "$USER_ID" ] || fail "files not owned by the user"
    $AS cat "$MNT/SONG.MP3" | cmp - "$STORE/song.mp3" || fail "content read by the user"
    $AS fusermount3 -u "$MNT" || fail "the user cannot unmount"
    expect_ended "$helper"
}

case_user() {
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
    make_image "$WORK/image" SIM0001 "User Phone"
    attach "$WORK/image"
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
    head -c 2000000 /dev/urandom >"$store/song.mp3"
    export STORE=$store
    phone --storage "$store" -- case_user
}

e2e_main "$@"
