#!/usr/bin/env python3
"""Walks a configuration backup file item by item and prints it as JSON.

    cfgbackup_reader.py FILE

Every integer is a 32-bit big-endian word. The output is
{"magic", "category", "mask", "sections": [{"id", "version", "size",
"items": [string or integer, ...]}]}. A body whose items do not fill its
size exactly, a string without its final zero or a cut file is an error
(exit status 1, the reason on stderr)."""
import json
import struct
import sys


def items(body):
    out = []
    pos = 0
    while pos < len(body):
        if pos + 8 > len(body):
            raise ValueError("item head cut at %d" % pos)
        kind, length = struct.unpack(">iI", body[pos:pos + 8])
        pos += 8
        if pos + length > len(body):
            raise ValueError("item of %d bytes beyond its body" % length)
        data = body[pos:pos + length]
        pos += length
        if kind == 1:
            if length < 1 or data[-1] != 0:
                raise ValueError("string without its zero")
            out.append(data[:-1].decode("utf-8", "replace"))
        elif kind == 2:
            if length != 4:
                raise ValueError("long of %d bytes" % length)
            out.append(struct.unpack(">i", data)[0])
        else:
            raise ValueError("item type %d" % kind)
    return out


def walk(data):
    if len(data) < 12:
        raise ValueError("file header cut")
    magic = data[:4].decode("latin-1")
    category, mask = struct.unpack(">II", data[4:12])
    pos = 12
    sections = []
    while pos < len(data):
        if pos + 12 > len(data):
            raise ValueError("section header cut at %d" % pos)
        sid, version, size = struct.unpack(">III", data[pos:pos + 12])
        pos += 12
        if pos + size > len(data):
            raise ValueError("section 0x%x body cut" % sid)
        sections.append({"id": sid, "version": version, "size": size,
                         "items": items(data[pos:pos + size])})
        pos += size
    return {"magic": magic, "category": category, "mask": mask, "sections": sections}


def main():
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        print(json.dumps(walk(data)))
    except ValueError as e:
        print(e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
