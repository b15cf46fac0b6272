#!/usr/bin/env bash
# The real brisvale under Xvfb with a D-Bus session and the simulated phone, driven through the
# accessibility bus (panel_e2e.py). Saves a screenshot of the X screen, and checks that quitting
# leaves nothing mounted, attached or in the image folder.
#   panel_e2e.sh BUILD_BIN SCREENSHOT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" != --inside ]; then
    bin=$1 shots=$2
    mkdir -p "$shots"
    work=$(mktemp -d /tmp/brisvale-panel.XXXXXX)
    status=0
    timeout -k 10 "${E2E_TIMEOUT:-120}" xvfb-run -a -s "-screen 0 1280x800x24" \
        dbus-run-session -- "$0" --inside "$bin" "$shots" "$work" || status=$?
    # Whatever happened inside: nothing of the phone may stay behind.
    left=$(grep " fuse.mtpfs " /proc/mounts | grep -F "$work" || true)
    loops=$(losetup --list --noheadings -O NAME,BACK-FILE | grep -F "$work" || true)
    for m in $(cut -d' ' -f2 <<<"$left"); do fusermount3 -uz "$(printf '%b' "$m")" || true; done
    for l in $(awk '{print $1}' <<<"$loops"); do losetup -d "$l" || true; done
    images=$(find "$work/cache" -name '*.img' 2>/dev/null || true)
    rm -rf "$work"
    [ -z "$left" ] || { echo "FAIL: left mounted: $left"; status=1; }
    [ -z "$loops" ] || { echo "FAIL: left attached: $loops"; status=1; }
    [ -z "$images" ] || { echo "FAIL: images left: $images"; status=1; }
    exit "$status"
fi

bin=$2 shots=$3 work=$4
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/store/DCIM" && chmod 700 "$XDG_RUNTIME_DIR"
echo "a photo" >"$work/store/DCIM/photo.jpg"
# The app joins the accessibility bus only if that bus is up when it starts.
/usr/bin/python3 -c 'import pyatspi; pyatspi.Registry.getDesktop(0)'
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$bin/phonesim" --storage "$work/store" -- "$bin/brisvale" \
    >"$work/app.out" 2>"$work/app.err" &
app=$!
status=0
/usr/bin/python3 "$here/panel_e2e.py" "$HOME/Phones/Simulated Phone" "$work/store" \
    "$shots/xvfb-screen.png" || status=$?
[ "$status" = 0 ] || kill -TERM "$app" 2>/dev/null || true
wait "$app" || { echo "FAIL: brisvale exited with $?"; status=1; }
[ "$status" = 0 ] || { cat "$work/app.out" "$work/app.err"; }
exit "$status"
