# Shared by tests/fs/e2e_*.sh: a case runs inside `phonesim`, attaches a placeholder image as a
# loop device, mounts its partition with mount.mtpfs and looks at it with ordinary programs; what
# it attaches or mounts is undone when it ends, however it ends (EXIT trap, last in first out). A
# script defines its cases and `cases`, which runs each by `phone [PHONESIM OPTIONS...] -- CASE
# [ARGS...]` or `nophone CASE`, and ends with `e2e_main "$@"`. E2E_BIN names the build's bin
# folder; E2E_TIMEOUT the watchdog's seconds (240).

set -euo pipefail

BIN=${E2E_BIN:?E2E_BIN must name the build bin folder}
SELF=$(readlink -f "$0")
CASES_RUN=0 CASES_FAILED=0 CASES_SKIPPED=0 MOUNT_STATUS=0

# The preload that reaches the virtual USB bus is given only to mount.mtpfs; losetup, partx and
# the sysfs readers below must see the real /sys.
PHONE_PRELOAD=${LD_PRELOAD:-}
unset LD_PRELOAD

cleanups=()
defer() { cleanups+=("$*"); }
run_cleanups() {
    local i
    for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" >/dev/null 2>&1 || true; done
    cleanups=()
}
trap run_cleanups EXIT
trap 'exit 130' INT TERM

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*" >&2; exit 77; }
note() { echo "  $*" >&2; }
millis_since() { echo $(((${EPOCHREALTIME/./} - ${1/./}) / 1000)); }

# scratch VAR: a temporary folder in VAR, removed at the end of the case.
scratch() {
    printf -v "$1" '%s' "$(mktemp -d /tmp/kestrum-e2e.XXXXXX)"
    chmod 755 "${!1}"
    defer "rm -rf '${!1}'"
}

# Bring up a case: WORK (scratch), MNT (an empty mount point).
begin_case() { scratch WORK && MNT=$WORK/mnt && mkdir "$MNT"; }

# image_attached ID NAME [--writable]: a new placeholder IMAGE for ID, attached (see attach).
image_attached() {
    IMAGE=$(mktemp -u "$WORK/image.XXXXXX")
    "$BIN/mkplaceholder" "$IMAGE" "$@" || fail "mkplaceholder $*"
    attach "$IMAGE"
}

# attach IMAGE: sets LOOP (/dev/loopN) and PART (/dev/loopNp1); detached at the end.
attach() {
    LOOP=$(losetup --find --show --partscan --read-only "$1") || fail "losetup $1"
    defer "detach '$LOOP' '$(readlink -f "$1")'"
    PART=${LOOP}p1
    defer "partx -d '$LOOP'"
    # partx -a is retried: it fails while the kernel still scans the new device.
    eventually "[ -b '$PART' ] || { partx -a '$LOOP' 2>/dev/null; false; }" ||
        fail "$PART did not appear"
}

# detach LOOP IMAGE: tried again a little later only while LOOP still holds IMAGE (another test
# may have been given the same device number meanwhile).
detach() {
    losetup -d "$1" && return 0
    sleep 0.5
    [ "$(losetup -n -O BACK-FILE "$1")" = "$2" ] && losetup -d "$1"
}

# The process id of the mount helper serving MOUNTPOINT (a path without spaces), if one runs.
helper_pid() { pgrep -f -- "mount\.mtpfs [^ ]+ $1( |\$)" | head -n 1; }

# eventually CONDITION: whether CONDITION (a command, evaluated) holds within 10 s.
eventually() {
    local i
    for ((i = 0; i < 200; i++)); do eval "$1" && return 0; sleep 0.05; done
    return 1
}
# Whether process PID still runs (a zombie has ended). ended PID: whether it ends within 10 s.
is_running() { [[ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" == [^Z]* ]]; }
ended() { eventually "! is_running $1"; }
expect_ended() { ended "$1" || fail "the helper still runs"; }

is_mounted() { awk -v m="$1" '$5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo; }
# Mount options of MOUNTPOINT ("ro,nosuid,...").
mount_options() { awk -v m="$1" '$5 == m { print $6 }' /proc/self/mountinfo | tail -n 1; }

# unmount MOUNTPOINT: fusermount3 -u, else -z; then waits for the helper to unload.
unmount() {
    local pid
    pid=$(helper_pid "$1" || true)
    is_mounted "$1" && { fusermount3 -u "$1" || fusermount3 -u -z "$1" || umount -l "$1" || true; } 2>/dev/null
    [ -z "$pid" ] || ended "$pid" || kill -TERM "$pid" 2>/dev/null || true
}

# mount_phone DEVICE MOUNTPOINT [HELPER ARGS...]: mount.mtpfs on the bus (as the user $AS when
# set), standard error in $WORK/helper.err, exit status in MOUNT_STATUS; unmounted at the end.
mount_phone() {
    local device=$1 mnt=$2
    shift 2
    defer "unmount '$mnt'"
    MOUNT_STATUS=0
    ${AS:-} env LD_PRELOAD="$PHONE_PRELOAD" "$BIN/mount.mtpfs" "$device" "$mnt" "$@" \
        2>"$WORK/helper.err" || MOUNT_STATUS=$?
    cat "$WORK/helper.err" >&2
}

# mount_foreground DEVICE MOUNTPOINT [HELPER ARGS...]: mount.mtpfs -f in the background of this
# shell; returns once the mount is there or the helper ended. HELPER_PID is its process id.
mount_foreground() {
    local device=$1 mnt=$2
    shift 2
    defer "unmount '$mnt'"
    LD_PRELOAD=$PHONE_PRELOAD "$BIN/mount.mtpfs" "$device" "$mnt" -f "$@" 2>"$WORK/helper.err" &
    HELPER_PID=$!
    defer "kill -TERM $HELPER_PID"
    eventually "is_mounted '$mnt' || ! kill -0 $HELPER_PID 2>/dev/null" || true
    MOUNT_STATUS=0
    is_mounted "$mnt" || { wait "$HELPER_PID" || MOUNT_STATUS=$?; }
}

# expect_mounted DEVICE MOUNTPOINT: the mount exists as fuse.mtpfs with the device as source.
expect_mounted() {
    [ "$MOUNT_STATUS" = 0 ] || fail "mount.mtpfs exited $MOUNT_STATUS"
    awk -v m="$2" -v d="$1" '$5 == m { for (i = 7; i <= NF; i++) if ($i == "-") break;
        if ($(i + 1) == "fuse.mtpfs" && $(i + 2) == d) ok = 1 } END { exit !ok }' \
        /proc/self/mountinfo || fail "$2 is not mounted as fuse.mtpfs from $1"
}
# expect_failed STATUS LOG_TEXT: mount.mtpfs exited STATUS, said LOG_TEXT and left nothing.
expect_failed() {
    [ "$MOUNT_STATUS" = "$1" ] || fail "mount.mtpfs exited $MOUNT_STATUS, not $1"
    expect_log "$2"
    ! is_mounted "$MNT" || fail "$MNT is mounted after a failure"
    [ -z "$(helper_pid "$MNT")" ] || fail "a helper still runs after a failure"
}

# expect_error TEXT COMMAND...: COMMAND fails and says TEXT.
expect_error() {
    local text=$1 output status=0
    shift
    output=$("$@" 2>&1) || status=$?
    [ "$status" != 0 ] || fail "$* succeeded"
    [[ "$output" == *"$text"* ]] || fail "$* said: $output"
}

# expect_log TEXT: the helper's standard error has a line containing TEXT.
expect_log() { grep -qF -- "$1" "$WORK/helper.err" || fail "no log line with: $1"; }

# phone_count CODE: operations the simulated phone served, by code ("0x95C1"), from its stats.
phone_count() { "$PHONESIM_CTL" stats | grep -o "\"$1\":[0-9]*" | head -n 1 | cut -d: -f2 | grep . || echo 0; }

# run_case NAME COMMAND...: runs one case's command and counts its outcome.
run_case() {
    local name=$1 status=0 started=$EPOCHREALTIME
    shift
    CASES_RUN=$((CASES_RUN + 1))
    echo "== $name" >&2
    "$@" || status=$?
    case $status in
        0) echo "ok   $name ($(millis_since "$started") ms)" >&2 ;;
        77) CASES_SKIPPED=$((CASES_SKIPPED + 1)) ;;
        *) echo "FAILED $name (status $status)" >&2 && CASES_FAILED=$((CASES_FAILED + 1)) ;;
    esac
}

# phone [PHONESIM OPTIONS...] -- CASE [ARGS...]: runs one case inside a fresh simulated phone.
phone() {
    local options=()
    while [ "$1" != "--" ]; do options+=("$1") && shift; done
    shift
    run_case "$1" "$BIN/phonesim" "${options[@]}" -- bash "$SELF" --case "$@"
}
# Without a phone: runs one case directly (no bus).
nophone() { run_case "$1" bash "$SELF" --case "$@"; }

# The script's entry: "--case NAME ARGS..." runs one case; otherwise cases() runs every case. A
# script killed by ctest's time-out would leave its mounts and loop devices: after E2E_TIMEOUT
# seconds timeout(1) sends TERM to the whole process group, so the running case's EXIT trap
# undoes what it attached and mounted; what still runs 20 s later is killed.
e2e_main() {
    case ${1:-} in
        --case) shift; "$@"; exit 0 ;;
        --timed) ;;
        *)
            [ "$(id -u)" = 0 ] || skip "the end-to-end tests attach loop devices and need root"
            local status=0
            timeout -k 20 "${E2E_TIMEOUT:-240}" bash "$SELF" --timed || status=$?
            [ "$status" != 124 ] || echo "TIMEOUT: still running after ${E2E_TIMEOUT:-240} s" >&2
            exit "$status"
            ;;
    esac
    cases
    echo "$((CASES_RUN - CASES_FAILED - CASES_SKIPPED)) passed, $CASES_FAILED failed, $CASES_SKIPPED skipped"
    [ "$CASES_FAILED" = 0 ]
}

# mount_writable STORE NAME [--foreground]: mounts the phone read-write under NAME; STORE is its
# (first) storage folder and REF the model of what it must hold, starting as a copy of it.
mount_writable() {
    STORE=$1
    begin_case
    REF=$WORK/model
    cp -a "$STORE/." "$REF"
    image_attached SIM0001 "$2" --writable
    if [ "${3:-}" = --foreground ]; then mount_foreground "$PART" "$MNT"; else mount_phone "$PART" "$MNT"; fi
    expect_mounted "$PART" "$MNT"
    [ -n "${3:-}" ] || expect_log "read-write"
}

# both COMMAND: evaluates COMMAND twice, with $D the mount point and then the model.
both() { local D; for D in "$MNT" "$REF"; do eval "$1"; done; }

# check_phone: the phone (STORE) holds exactly the model (REF: names, types, bytes), nothing
# memory-only, no temporary names; and the mount shows the same, memory-only files aside.
check_phone() {
    diff -r "$REF" "$STORE" >&2 || fail "the phone differs from the model"
    [ -z "$(find "$STORE" -name .DS_Store -o -name '._*' -o -name '.kestrum-*')" ] ||
        fail "the phone got a memory-only or temporary file"
    diff -r --exclude=.DS_Store --exclude='._*' --exclude=.metadata_never_index \
        ${MOUNT_EXCLUDE:+--exclude="$MOUNT_EXCLUDE"} "$REF" "$MNT" >&2 || fail "the mount differs from the model"
}

# expect_committed: no edit is left open on the phone; what programs closed has been committed.
expect_committed() {
    [ "$("$PHONESIM_CTL" edits)" = ok ] || fail "edits still open after close: $("$PHONESIM_CTL" edits)"
}

# fault ARGS...: arms a fault of the simulated phone through its control socket.
fault() { [ "$("$PHONESIM_CTL" fault "$@")" = ok ] || fail "phonesim-ctl fault $* refused"; }
