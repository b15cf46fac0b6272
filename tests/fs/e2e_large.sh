#!/usr/bin/env bash
# Large files through the kernel and how the phone is asked: reading past 4 GiB with
# GetPartialObject64, sequential reads turned into 4 MiB requests, a folder listed with
# GetObjectPropList once whatever ls asks. Phones without them are read and listed in-process
# (read_test, lookup_test).

source "$(dirname "$0")/e2e_lib.sh"

GiB=$((1 << 30))
BIG=$((5 * GiB + 12345))

# The phone's folder: a sparse file over 4 GiB with bytes of its own near 4 GiB and at the end,
# a 64 MiB file, and a folder of 50 files.
fill_store() {
    local store=$1 i
    truncate -s "$BIG" "$store/huge.bin"
    head -c 100000 /dev/urandom | dd of="$store/huge.bin" bs=1 seek=$((BIG - 100000)) \
        conv=notrunc status=none
    head -c 8192 /dev/urandom | dd of="$store/huge.bin" bs=1 seek=$((4 * GiB - 4096)) \
        conv=notrunc status=none
    head -c $((64 << 20)) /dev/urandom >"$store/video.mp4"
    mkdir -p "$store/Pictures/Trip"
    for ((i = 0; i < 50; i++)); do
        head -c $((i * 100)) /dev/zero >"$store/Pictures/Trip/IMG_$i.jpg"
    done
}

# The last n bytes of a file, read with dd at its end.
tail_of() { dd if="$1" bs=4096 iflag=skip_bytes,count_bytes skip=$(($2 - $3)) count="$3" status=none; }

case_over_4g() {
    begin_case
    make_image "$WORK/image" SIM0001 "Big"
    attach "$WORK/image"
    mount_phone "$PART" "$MNT"
    expect_mounted "$PART" "$MNT"
    [ "$(stat -c %s "$MNT/huge.bin")" = "$BIG" ] || fail "size of the 5 GiB file"
    cmp <(tail_of "$STORE/huge.bin" "$BIG" 100000) <(tail_of "$MNT/huge.bin" "$BIG" 100000) ||
        fail "the end of the 5 GiB file differs"
    cmp <(dd if="$STORE/huge.bin" bs=4096 skip=$((4 * GiB / 4096 - 1)) count=2 status=none) \
        <(dd if="$MNT/huge.bin" bs=4096 skip=$((4 * GiB / 4096 - 1)) count=2 status=none) ||
        fail "the bytes across 4 GiB differ"
    [ "$(phone_count 0x95C1)" -gt 0 ] || fail "GetPartialObject64 was not used"

    # Sequential reading: one request per 4 MiB after the first read.
    local before after
    before=$(phone_count 0x95C1)
    dd if="$MNT/video.mp4" of="$WORK/video" bs=1M status=none
    cmp "$STORE/video.mp4" "$WORK/video" || fail "video differs"
    after=$(phone_count 0x95C1)
    note "64 MiB read sequentially with $((after - before)) GetPartialObject64 requests"
    [ $((after - before)) -le 18 ] || fail "$((after - before)) requests for 64 MiB"

    # A folder below the top level is listed with four GetObjectPropList requests.
    ls "$MNT/Pictures" >/dev/null
    before=$(phone_count 0x9805)
    [ "$(ls "$MNT/Pictures/Trip" | wc -l)" = 50 ] || fail "listing of 50 files"
    ls -l "$MNT/Pictures/Trip" >/dev/null
    after=$(phone_count 0x9805)
    [ $((after - before)) = 4 ] || fail "$((after - before)) GetObjectPropList for one folder"
    [ "$(stat -c %s "$MNT/Pictures/Trip/IMG_49.jpg")" = 4900 ] || fail "size from the list"
    true
}

cases() {
    local store
    scratch store
    fill_store "$store"
    export STORE=$store
    phone --storage "$store" -- case_over_4g
}

e2e_main "$@"
