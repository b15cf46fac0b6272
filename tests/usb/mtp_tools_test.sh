#!/usr/bin/env bash
# libmtp's command-line tools (Debian's mtp-tools), as an outside client, against the simulated
# phone on the virtual bus: they detect it, list, fetch and send files, and see what the control
# commands of the phonesim program change (held: busy; locked: no storage; charging only: no
# MTP device; unplugged: nothing). Usage: mtp_tools_test.sh PATH/TO/phonesim
set -euo pipefail
phonesim=${1:?usage: mtp_tools_test.sh PATH/TO/phonesim}
# Watchdog shorter than ctest's 120 s: timeout(1) signals the whole process group, so phonesim
# and the tools end and the EXIT trap below still removes the work folder.
if [ "${MTP_TOOLS_TIMED:-}" != 1 ]; then
  MTP_TOOLS_TIMED=1 exec timeout -k 10 "${MTP_TOOLS_TIMEOUT:-90}" bash "$0" "$@"
fi
for tool in mtp-detect mtp-files mtp-getfile mtp-sendfile; do
  command -v "$tool" >/dev/null || { echo "missing $tool (Debian package mtp-tools)"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/store/DCIM"
head -c 300001 /dev/urandom >"$work/store/DCIM/photo.jpg"
# With its 12-byte header the data container is 1 MiB: a zero-length packet must end it.
head -c 1048564 /dev/urandom >"$work/upload.bin"
export WORK=$work

"$phonesim" --storage "$work/store" --serial TOOLS01 --name "Tools Phone" -- bash -c '
  set -euo pipefail
  fail() { echo "FAIL: $*"; exit 1; }
  mtp-detect >"$WORK/detect.txt" 2>&1 || fail "mtp-detect: $(tail -3 "$WORK/detect.txt")"
  grep -q "Model: Tools Phone" "$WORK/detect.txt" || fail "mtp-detect shows no model"
  grep -q "Serial number: TOOLS01" "$WORK/detect.txt" || fail "mtp-detect shows no serial"
  grep -q "StorageDescription: Internal shared storage" "$WORK/detect.txt" ||
    fail "mtp-detect shows no storage"

  mtp-files >"$WORK/files.txt" 2>&1 || fail "mtp-files failed"
  id=$(awk "/File ID:/ { id = \$3 } /Filename: photo.jpg/ { print id }" "$WORK/files.txt")
  [ -n "$id" ] || fail "mtp-files does not list photo.jpg: $(cat "$WORK/files.txt")"
  mtp-getfile "$id" "$WORK/fetched.jpg" >/dev/null 2>&1 || fail "mtp-getfile failed"
  cmp "$WORK/fetched.jpg" "$WORK/store/DCIM/photo.jpg" || fail "fetched file differs"

  mtp-sendfile "$WORK/upload.bin" upload.bin >/dev/null 2>&1 || fail "mtp-sendfile failed"

  # shows WANT|!UNWANTED TOOL MESSAGE: runs TOOL, fails with MESSAGE unless its output matches.
  shows() {
    "$2" >"$WORK/out.txt" 2>&1 || true
    case $1 in
      !*) ! grep -q "${1#!}" "$WORK/out.txt" || fail "$3" ;;
      *) grep -q "$1" "$WORK/out.txt" || fail "$3: $(cat "$WORK/out.txt")" ;;
    esac
  }
  ctl() { "$PHONESIM_CTL" "$1" >/dev/null; }
  ctl hold; shows busy mtp-files "a held phone is not busy"
  ctl release; shows "Filename: upload.bin" mtp-files "upload.bin is not listed"
  "$PHONESIM_CTL" stats >"$WORK/out.txt"
  grep -q "\"0x100D\":1" "$WORK/out.txt" || fail "stats count no SendObject"
  ctl lock; shows "!StorageDescription" mtp-detect "a locked phone lists storages"
  ctl unlock; shows StorageDescription mtp-detect "an unlocked phone lists no storage"
  ctl charging-only; shows "No raw devices found" mtp-detect "a charging-only phone is found"
  ctl mtp; shows "Filename: upload.bin" mtp-files "back in MTP mode, no files"
  ctl unplug; shows "No Devices" mtp-files "an unplugged phone is still found"
  ! "$PHONESIM_CTL" hold >/dev/null || fail "holding an unplugged phone succeeded"
'
cmp "$work/upload.bin" "$work/store/upload.bin" || { echo "FAIL: the sent file differs"; exit 1; }

status=0
"$phonesim" -- sh -c "exit 3" || status=$?
[ "$status" = 3 ] || { echo "FAIL: phonesim exits $status, the command exited 3"; exit 1; }
echo PASS
