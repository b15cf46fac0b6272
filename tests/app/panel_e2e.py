#!/usr/bin/python3
"""Drives the running brisvale through the accessibility bus, as an assistive technology would:
the phone's mount switch, the read-write switch with its confirmation, and Quit."""
import os
import subprocess
import sys
import time

import pyatspi

folder, store, shot = sys.argv[1:4]


def wait(condition, what, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    sys.exit(f"FAIL: {what}")


def control(name, role):
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "brisvale":
            return pyatspi.findDescendant(
                app, lambda n: n is not None and n.name == name and n.getRoleName() == role)
    return None


def press(name, role):
    wait(lambda: control(name, role), f"no {role} named {name!r}").queryAction().doAction(0)


def mount_options():
    with open("/proc/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            if fields[2] == "fuse.mtpfs" and fields[1].replace("\\040", " ") == folder:
                return fields[3].split(",")
    return None


switch = "Mounted: Simulated Phone"
wait(mount_options, "the phone was not mounted by itself")
subprocess.run(["import", "-window", "root", shot], check=True)
spread = subprocess.run(["convert", shot, "-colorspace", "Gray", "-format",
                         "%[fx:standard_deviation]", "info:"],
                        check=True, capture_output=True, text=True).stdout
if float(spread) < 0.05:
    sys.exit(f"FAIL: the screen is blank ({shot})")

press(switch, "check box")
wait(lambda: mount_options() is None and not os.path.exists(folder),
     "the switch did not unmount the phone and remove its folder")
press(switch, "check box")
wait(mount_options, "the switch did not mount the phone again")

press("Read & write", "push button")
press("Allow changes", "push button")
wait(lambda: "rw" in (mount_options() or []), "the phone was not remounted read-write")
written = b"written through the mount\n"
with open(os.path.join(folder, "note.txt"), "wb") as note:
    note.write(written)
with open(os.path.join(store, "note.txt"), "rb") as on_phone:
    if on_phone.read() != written:
        sys.exit("FAIL: the file written through the mount is not on the phone")

press("Quit", "push button")
print("ok: mounted, ejected, mounted, switched to read-write, wrote a file, quit")
