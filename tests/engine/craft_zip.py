#!/usr/bin/env python3
"""Writes a hand-made zip archive of the kind a hostile user could plant in a
backup folder, for the engine's update to meet.

usage: craft_zip.py CASE ARCHIVE
       craft_zip.py --all FOLDER   (every case, e.g. as a fuzzing seed corpus)

Each case builds its records byte by byte, so a record can say what no zip
writer would: lengths that overflow once a field is added, headers that share
data, sizes and CRCs that lie, names a restore would misplace."""
import struct
import sys
import zlib

KEPT = b"kept data\n"  # the content of every honest entry


def local_header(name, data, crc=None, size=None, usize=None, method=0, flags=0, extra=b""):
    crc = zlib.crc32(data) if crc is None else crc
    size = len(data) if size is None else size
    usize = len(data) if usize is None else usize
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x5021, crc, size, usize,
                       len(name), len(extra)) + name + extra + data


class Entry:
    """One entry: its local header and data, and what its central header says."""

    def __init__(self, name, data=KEPT, method=0, flags=0, crc=None, usize=None,
                 central_extra=b"", made_by=20, attributes=0, local=None):
        self.name = name
        self.method = method
        self.flags = flags
        self.data = data
        self.crc = zlib.crc32(KEPT if method == 8 else data) if crc is None else crc
        self.usize = (len(KEPT) if method == 8 else len(data)) if usize is None else usize
        self.central_extra = central_extra
        self.made_by = made_by
        self.attributes = attributes
        self.local = local if local is not None else local_header(
            name, data, self.crc, len(data), self.usize, method, flags)
        self.offset = 0

    def central(self, offset=None):
        offset = self.offset if offset is None else offset
        return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, self.made_by, 20, self.flags, self.method, 0,
                           0x5021, self.crc, len(self.data), self.usize, len(self.name),
                           len(self.central_extra), 0, 0, 0, self.attributes, offset) + self.name + \
            self.central_extra


def end_records(count, directory_offset, directory_size):
    records = b""
    if count >= 0xFFFF:
        zip64_offset = directory_offset + directory_size
        records += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, directory_size,
                               directory_offset)
        records += struct.pack("<IIQI", 0x07064B50, 0, zip64_offset, 1)
        count = 0xFFFF
    return records + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, directory_size,
                                 directory_offset, 0)


def archive(entries, centrals=None):
    """Locals in order, then one central header per entry (or the given ones)."""
    parts, size = [], 0
    for e in entries:
        e.offset = size
        parts.append(e.local)
        size += len(e.local)
    body = b"".join(parts)
    directory = b"".join(centrals(entries) if centrals else (e.central() for e in entries))
    count = len(centrals(entries)) if centrals else len(entries)
    return body + directory + end_records(count, len(body), len(directory))


def unicode_path(raw, name):
    body = struct.pack("<BI", 1, zlib.crc32(raw)) + name
    return struct.pack("<HH", 0x7075, len(body)) + body


def deflated(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def forged_extra():
    # 65,523 bytes of an unknown field: with a ZIP64 field added the total
    # no longer fits 16 bits. Its body looks like a central header for VL.BAK.
    fake = Entry(b"VL.BAK", b"attacker's content\n").central()
    body = (fake * (65519 // len(fake) + 1))[:65519]
    return struct.pack("<HH", 0xCAFE, len(body)) + body


def nested():
    inner = local_header(b"inner.txt", KEPT)
    outer = Entry(b"outer.txt", inner)
    return archive([outer], lambda es: [es[0].central(), Entry(b"inner.txt").central(30 + len(b"outer.txt"))])


def too_many(count):
    entries = [Entry(b"%05d" % i, b"") for i in range(count)]
    return archive(entries)


CASES = {
    # kept exactly once, read back by every reader (most-entries by Python alone)
    "forged-extra": lambda: archive([Entry(b"kept.txt", central_extra=forged_extra())]),
    "unix-setuid": lambda: archive([Entry(b"kept.txt", made_by=3 << 8 | 20, attributes=0o106755 << 16)]),
    "honest-unicode-path": lambda: archive([Entry(b"kept.txt", central_extra=unicode_path(b"kept.txt", b"kept.txt"))]),
    # refused
    "three-headers-one-entry": lambda: archive([Entry(b"a.txt")], lambda es: [es[0].central()] * 3),
    "nested-entry": nested,
    "local-size-differs": lambda: archive([Entry(b"kept.txt", local=local_header(b"kept.txt", KEPT, size=len(KEPT) - 1))]),
    "local-name-differs": lambda: archive([Entry(b"kept.txt", local=local_header(b"VL.BAK", KEPT))]),
    "outside-the-file": lambda: archive([Entry(b"kept.txt")], lambda es: [es[0].central(offset=1 << 20)]),
    "bad-crc": lambda: archive([Entry(b"kept.txt", crc=zlib.crc32(b"other"))]),
    "inflates-beyond-its-size": lambda: archive([Entry(b"kept.txt", deflated(KEPT * 1000), method=8)]),
    "unknown-method": lambda: archive([Entry(b"kept.txt", method=12)]),
    "encrypted": lambda: archive([Entry(b"kept.txt", flags=1)]),
    "name-dot-dot": lambda: archive([Entry(b"../x")]),
    "name-inner-dot-dot": lambda: archive([Entry(b"a/../../x")]),
    "name-absolute": lambda: archive([Entry(b"/etc/x")]),
    "name-drive": lambda: archive([Entry(b"C:x")]),
    "name-nul": lambda: archive([Entry(b"a\0b")]),
    "name-backslash": lambda: archive([Entry(b"..\\x")]),
    "name-case-of-new-entry": lambda: archive([Entry(b"vl.bak")]),
    "unicode-path-of-new-entry": lambda: archive([Entry(b"other.txt", central_extra=unicode_path(b"other.txt", b"VL.BAK"))]),
    "unicode-path-dot-dot": lambda: archive([Entry(b"other.txt", central_extra=unicode_path(b"other.txt", b"../x"))]),
    "two-names-differ-by-case": lambda: archive([Entry(b"a.txt"), Entry(b"A.TXT")]),
    "too-many-entries": lambda: too_many(65536),
    "most-entries": lambda: too_many(65535),
}


def main(argv):
    if argv[1] == "--all":
        for name, make in CASES.items():
            with open(f"{argv[2]}/{name}.zip", "wb") as f:
                f.write(make())
        return 0
    with open(argv[2], "wb") as f:
        f.write(CASES[argv[1]]())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
