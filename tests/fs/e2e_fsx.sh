#!/usr/bin/env bash
# fsx through the kernel (e2e_fsx.cpp) on a read-write mount; after the unmount, which commits
# every edit, the phone holds exactly the model the run ended with.

source "$(dirname "$0")/e2e_lib.sh"

case_fsx() {
    mount_writable "$1" "Fsx Phone" --foreground
    "$BIN/../tests/fs_e2e_fsx" "$MNT" "$STORE" "$WORK/end" || fail "fsx; the helper said: $(tail -n 20 "$WORK/helper.err")"
    unmount "$MNT"
    expect_committed
    diff -r "$WORK/end" "$STORE" >&2 || fail "the phone differs from the model after the unmount"
}

cases() {
    local store
    scratch store
    # Files that come from a listing, whose first edit must ask the phone for their size.
    mkdir "$store/A" "$store/B"
    head -c 30000 /dev/urandom >"$store/A/f0"
    head -c 70000 /dev/urandom >"$store/B/f1"
    head -c 5 /dev/urandom >"$store/f2"
    phone --storage "$store" -- case_fsx "$store"
}

e2e_main "$@"
