#!/usr/bin/env python3
"""Reads a zip archive back with Python's zipfile and compares every entry with
the file it came from.

usage: check_zip.py ARCHIVE [--zip64] NAME=PATH...

Exits 0 when the archive holds exactly the named entries, each byte-identical
to its file and passing its CRC check; with --zip64 the archive must also end
with a ZIP64 end record and locator. Prints what differs otherwise."""
import struct
import sys
import zipfile

CHUNK = 1 << 20


def same_content(archive, name, path):
    with archive.open(name) as packed, open(path, "rb") as original:
        while True:
            a = packed.read(CHUNK)
            b = original.read(CHUNK)
            if a != b:
                return False
            if not a:
                return True


def has_zip64_end(path):
    with open(path, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(max(0, size - 22 - 20 - 56))
        tail = f.read()
    locator = tail.rfind(b"PK\x06\x07")
    if locator < 0:
        return False
    (offset,) = struct.unpack_from("<Q", tail, locator + 8)
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(4) == b"PK\x06\x06"


def main(argv):
    archive_path = argv[1]
    want_zip64 = "--zip64" in argv[2:]
    expected = dict(arg.split("=", 1) for arg in argv[2:] if arg != "--zip64")
    problems = []
    with zipfile.ZipFile(archive_path) as archive:
        names = archive.namelist()
        if sorted(names) != sorted(expected):
            problems.append(f"entries {names}, expected {sorted(expected)}")
        if len(set(names)) != len(names):
            problems.append(f"duplicate entries {names}")
        for name, path in expected.items():
            if name in names and not same_content(archive, name, path):
                problems.append(f"{name} differs from {path}")
        bad = archive.testzip()
        if bad is not None:
            problems.append(f"CRC error in {bad}")
    if want_zip64 and not has_zip64_end(archive_path):
        problems.append("no ZIP64 end record")
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
