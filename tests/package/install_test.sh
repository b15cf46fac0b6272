#!/usr/bin/env bash
# The Debian packages on a fresh Debian 12: built, checked with lintian, installed with apt into
# a debootstrap root made from this machine's own mirror; there an ordinary user with a D-Bus
# session, udisks2 and the simulated phone mounts the phone without any root step (as_user.sh);
# afterwards nothing is left mounted, attached or on disk, and a purge leaves no file behind.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR. Exit 77: skipped (the reason is printed).
set -euo pipefail
SRC=$(readlink -f "$1")
BUILD=$(readlink -f "$2")
WORK=$BUILD/package-test
ROOT=$WORK/root
CACHE=$WORK/bookworm-minbase-v1.tar
USER_NAME=phoneuser
ENV_PACKAGES="udisks2 pkexec dbus udev libglib2.0-bin fuse3 umockdev"
export DEBIAN_FRONTEND=noninteractive

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
in_root() { chroot "$ROOT" "$@"; }

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot, loop devices)"
for tool in debootstrap lintian dpkg-deb cpack; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup installs it)"
done

# The Debian mirror this machine's apt uses for bookworm.
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' || true)
[ -n "$mirror" ] || mirror=$(awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ &&
    uri ~ /debian\/?$/ { print uri; exit }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
[ -n "$mirror" ] || skip "no Debian bookworm mirror in this machine's apt sources"
timeout 20 /usr/lib/apt/apt-helper download-file "$mirror/dists/bookworm/Release" \
    "$WORK.release" >/dev/null 2>&1 || skip "the mirror $mirror cannot be reached"
rm -f "$WORK.release"

# ---- teardown: processes inside, mounts inside (FUSE first, then dev/pts dev sys proc), loop
# devices backed by files inside, then the root itself. Runs on every exit, and the watchdog
# ends a hung run through it.
dev_before=$(ls -d /dev/disk /dev/block /dev/char 2>/dev/null || true)
# Every process running inside the root was started by this test.
kill_inside() {
    local pid
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$ROOT" ] && kill -KILL "$pid" 2>/dev/null
    done
    sleep 0.3
}
unmount_inside() {
    local mnt
    while IFS= read -r mnt; do
        mnt=$(printf '%b' "${mnt//\\/\\0}")  # the table writes " " as \040
        umount "$mnt" 2>/dev/null || umount -l "$mnt" || true
    done < <(awk -v r="$ROOT" 'index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | tac)
}
teardown() {
    local status=$? loop made
    trap - EXIT INT TERM
    [ -n "${WATCHDOG:-}" ] && kill "$WATCHDOG" 2>/dev/null
    kill_inside
    unmount_inside
    for loop in $(losetup -ln -O NAME,BACK-FILE | awk -v r="$ROOT" -v h="/home/$USER_NAME/" '
        index($2, r "/") == 1 || index($2, h) == 1 { print $1 }'); do
        losetup -d "$loop" || true
    done
    # udevd and udevadm inside made these in the host's /dev; they were not there before.
    for made in /dev/disk /dev/block /dev/char; do
        grep -qx "$made" <<<"$dev_before" || rm -rf "$made"
    done
    if awk -v r="$ROOT" 'index($5, r) == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo; then
        echo "teardown: mounts remain under $ROOT, not deleting it" >&2
        status=1
    else
        rm -rf --one-file-system "$ROOT"
    fi
    exit "$status"
}
trap teardown EXIT
trap 'echo "interrupted" >&2; exit 1' INT TERM
# Bash runs the trap only once the command in the foreground ends: end what runs inside first.
# Its sleep holds no output pipe (ctest would wait for it) and ends with the watchdog.
(
    trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
    sleep 840 </dev/null >/dev/null 2>&1 &
    sleeper=$!
    wait "$sleeper"
    echo "watchdog: the test ran too long" >&2
    kill_inside
    kill -TERM $$
) &
WATCHDOG=$!

# ---- the packages
rm -f "$BUILD"/brisvale*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null) || fail "cpack"
deb=$(ls "$BUILD"/brisvale_*.deb)
simdeb=$(ls "$BUILD"/brisvale-phonesim_*.deb)
lintian_out=$(lintian "$deb" "$simdeb" 2>/dev/null || true)
echo "$lintian_out"
grep -q '^E:' <<<"$lintian_out" && fail "lintian reports errors"

# ---- the Debian root, from the cache when there is one
mkdir -p "$WORK"
kill_inside
unmount_inside  # what a killed run left
rm -rf --one-file-system "$ROOT"
mkdir -p "$ROOT"
if [ ! -s "$CACHE" ]; then
    echo "making the Debian 12 root from $mirror (cached in $CACHE)"
    debootstrap --variant=minbase bookworm "$ROOT" "$mirror" >"$WORK/debootstrap.log" 2>&1 ||
        { tail -5 "$WORK/debootstrap.log"; skip "debootstrap from $mirror failed"; }
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
    mount --bind /proc "$ROOT/proc"
    in_root apt-get update -q >/dev/null
    in_root apt-get install -y -q --no-install-recommends $ENV_PACKAGES \
        >"$WORK/env-packages.log" 2>&1 ||
        { tail -5 "$WORK/env-packages.log"; fail "installing the test's own packages"; }
    in_root apt-get clean
    umount "$ROOT/proc"
    tar -C "$ROOT" -cf "$CACHE.new" . && mv "$CACHE.new" "$CACHE"
else
    tar -C "$ROOT" -xf "$CACHE"
fi
cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
for dir in proc sys dev dev/pts; do mount --bind "/$dir" "$ROOT/$dir"; done
ln -sf /proc/self/mounts "$ROOT/etc/mtab"

# ---- install, as an administrator would
cp "$deb" "$simdeb" "$ROOT/tmp/"
in_root apt-get install -y -q "/tmp/${deb##*/}" "/tmp/${simdeb##*/}" >"$WORK/install.log" 2>&1 ||
    { tail -20 "$WORK/install.log"; fail "apt-get install of the packages"; }
in_root test -x /sbin/mount.mtpfs || fail "/sbin/mount.mtpfs is not installed"
rules_errors=$(in_root udevadm test /sys/class/mem/null 2>&1 | grep '70-brisvale-phones.rules:' || true)
[ -z "$rules_errors" ] || fail "the udev rule: $rules_errors"

# ---- the system services, started by hand (no systemd here)
in_root useradd -m -s /bin/bash "$USER_NAME"
cat >"$ROOT/etc/polkit-1/rules.d/50-brisvale-test.rules" <<RULES
// No logind session here: let the test's user attach images as a desktop user may.
polkit.addRule(function(action, subject) {
    if ((action.id == "org.freedesktop.udisks2.loop-setup" ||
         action.id == "org.freedesktop.udisks2.open-device-system") &&
        subject.user == "$USER_NAME") {
        return polkit.Result.YES;
    }
});
RULES
# Closing a written whole disk makes udevd re-read its partitions; other loop devices on this
# machine are not ours to disturb.
: >"$ROOT/etc/udev/rules.d/60-block.rules"
in_root sh -c 'mkdir -p /run/dbus; rm -f /run/dbus/pid /run/dbus/system_bus_socket;
    dbus-daemon --system --fork'
in_root /lib/systemd/systemd-udevd --daemon

# ---- the user's part
head -c 3000000 /dev/urandom >"$ROOT/home/$USER_NAME/song.bin.ref"
mkdir -p "$ROOT/home/$USER_NAME/store"
cp "$ROOT/home/$USER_NAME/song.bin.ref" "$ROOT/home/$USER_NAME/store/song.bin"
cp "$SRC/tests/package/as_user.sh" "$ROOT/tmp/as_user.sh"
in_root chown -R "$USER_NAME:" "/home/$USER_NAME"
in_root su - "$USER_NAME" -c "dbus-run-session -- phonesim --storage ~/store \
    --name 'Test Phone' -- /tmp/as_user.sh ~/song.bin.ref" || fail "the user's part failed"

# ---- nothing left behind
awk -v r="$ROOT" 'index($5, r "/") == 1 && / - fuse\.mtpfs / { found = 1 } END { exit !found }' \
    /proc/self/mountinfo && fail "a phone is still mounted"
[ -z "$(losetup -ln -O NAME,BACK-FILE | awk -v r="$ROOT" 'index($2, r "/") == 1')" ] ||
    fail "a loop device is still attached"
left=$(in_root find "/home/$USER_NAME/Phones" "/home/$USER_NAME/.cache/Kestrum" \
    -mindepth 1 2>/dev/null || true)
[ -z "$left" ] || fail "left on disk: $left"

# ---- purge
in_root sh -c 'dpkg-query -L brisvale brisvale-phonesim' | sort -u >"$WORK/files"
in_root apt-get purge -y -q brisvale brisvale-phonesim >"$WORK/purge.log" 2>&1 ||
    { tail -5 "$WORK/purge.log"; fail "apt-get purge"; }
remaining=""
while read -r path; do
    # Directories (and /lib, /sbin: links to folders in /usr) are shared with other packages.
    [ -n "$path" ] && [ ! -d "$ROOT$path" ] && [ -e "$ROOT$path" -o -L "$ROOT$path" ] &&
        remaining+=" $path"
done <"$WORK/files"
[ -z "$remaining" ] || fail "left after purge:$remaining"
in_root dpkg-query -W brisvale >/dev/null 2>&1 && fail "brisvale is still known to dpkg"
echo "PASS: installed, mounted by the user, ejected, purged"
