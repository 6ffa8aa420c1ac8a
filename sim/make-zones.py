#!/usr/bin/python3
"""Lays out the appliance's zone database from the host's tzdata:
OUT is a copy of the host's zoneinfo (so that every other reader still finds
its zones) with the folder Timezone/ added: one zone file per zone, "tztable"
(zone name = the text shown for it) and "tzlist" (zone name = the TZ string
of the zone file's last line).

Usage: make-zones.py HOST-ZONEINFO OUT"""
import os
import shutil
import sys

src, out = sys.argv[1], sys.argv[2]
tmp = out + ".new"
shutil.rmtree(tmp, ignore_errors=True)
shutil.copytree(src, tmp, symlinks=True)
zones = {}
for root, dirs, files in os.walk(src):
    rel = os.path.relpath(root, src)
    if rel != "." and rel.split(os.sep)[0] in ("posix", "right", "Timezone"):
        dirs[:] = []
        continue
    for f in files:
        path = os.path.join(root, f)
        name = os.path.normpath(os.path.join(rel, f))
        if name in ("localtime", "posixrules"):
            continue
        with open(path, "rb") as fp:
            data = fp.read()
        if not data.startswith(b"TZif"):
            continue
        lines = data.rstrip(b"\n").split(b"\n")
        zones[name] = (data, lines[-1].decode("ascii") if len(lines) > 1 else "")
tzdir = os.path.join(tmp, "Timezone")
os.makedirs(tzdir, exist_ok=True)
with open(os.path.join(tzdir, "tztable"), "w") as table, \
        open(os.path.join(tzdir, "tzlist"), "w") as tzlist:
    for name in sorted(zones):
        data, tz = zones[name]
        dest = os.path.join(tzdir, name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        with open(dest, "wb") as fp:
            fp.write(data)
        table.write('%s="%s"\n' % (name, name.replace("_", " ")))
        if tz:
            tzlist.write('%s="%s"\n' % (name, tz))
shutil.rmtree(out, ignore_errors=True)
os.rename(tmp, out)
