#!/usr/bin/env python3
"""Makes the payload tests' files: real cabinets (gcab), one patched where gcab cannot store a
value, cut-short cabinets, a real 7z archive (7zz) and plain files.

Usage: make_payload_fixtures.py OUTDIR

gcab always stores attributes 0x20 and the files' modification time, so the attribute and date
cases patch the first CFFILE entry of a gcab cabinet: the entry carries no checksum, and the data
blocks that do are left as they are.
"""

import hashlib
import os
import struct
import subprocess
import sys
import tempfile

# Fixed so that every build makes the same bytes.
EPOCH = 1262304000  # 2010-01-01 00:00:00 UTC

# The stored date of the patched cabinets: 2019-07-15 13:45:30 local time.
PATCHED_DATE = ((2019 - 1980) << 9) | (7 << 5) | 15
PATCHED_TIME = (13 << 11) | (45 << 5) | (30 // 2)


def noise(size, seed):
    """Incompressible but reproducible bytes, so that the cabinet has several data blocks."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}:{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (EPOCH, EPOCH))


def gcab(cabinet, folder, names):
    subprocess.run(["gcab", "-c", "-z", cabinet, *names], cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)


def cabinet_with(out, cab_name, files):
    """files: [(stored name, bytes)] in the order the cabinet holds them."""
    with tempfile.TemporaryDirectory() as folder:
        for name, data in files:
            write(os.path.join(folder, name), data)
        gcab(os.path.join(out, cab_name), folder, [name for name, _ in files])
    return os.path.join(out, cab_name)


def first_file_entry(cab):
    """Offset of the first CFFILE entry: the header's coffFiles."""
    return struct.unpack_from("<I", cab, 16)[0]


def first_data_block(cab):
    # The first CFFOLDER follows the 36-byte header (gcab reserves no extra header space).
    flags = struct.unpack_from("<H", cab, 30)[0]
    assert flags == 0, "gcab cabinet with unexpected header flags"
    return struct.unpack_from("<I", cab, 36)[0]


def patched(source, target, attribs, date=PATCHED_DATE, time=PATCHED_TIME):
    with open(source, "rb") as f:
        cab = bytearray(f.read())
    entry = first_file_entry(cab)
    # cbFile (4), uoffFolderStart (4), iFolder (2), then date, time and attribs.
    struct.pack_into("<HHH", cab, entry + 10, date, time, attribs)
    write(target, bytes(cab))


def main(out):
    os.makedirs(out, exist_ok=True)

    setup = noise(100000, "setup")
    write(os.path.join(out, "setup.bin"), setup)
    write(os.path.join(out, "first.bin"), noise(70000, "first"))
    write(os.path.join(out, "second.bin"), noise(50000, "second"))
    write(os.path.join(out, "not_cabinet.bin"), b"This is not a cabinet, only some text.\r\n" * 40)
    write(os.path.join(out, "empty.bin"), b"")
    write(os.path.join(out, "small.bin"), b"small resource\n")

    one = cabinet_with(out, "one.cab", [("setup.exe", setup)])
    cabinet_with(out, "renamed.cab", [("WeIrD Name.BiN", setup)])
    cabinet_with(out, "two.cab", [("first.bin", noise(70000, "first")),
                                  ("second.bin", noise(50000, "second"))])
    patched(one, os.path.join(out, "attributes_a1.cab"), 0xA1)
    patched(one, os.path.join(out, "read_only.cab"), 0x01)
    patched(one, os.path.join(out, "attributes_none.cab"), 0x00)

    with open(one, "rb") as f:
        cab = f.read()
    start = first_data_block(cab)
    # Header, folder and file entries complete; not one data byte.
    write(os.path.join(out, "cut_after_header.cab"), cab[:start])
    # The first data block whole (32 KiB of the file's 100,000 bytes) and the rest missing.
    compressed = struct.unpack_from("<H", cab, start + 4)[0]
    write(os.path.join(out, "cut_after_block.cab"), cab[:start + 8 + compressed])

    with tempfile.TemporaryDirectory() as folder:
        write(os.path.join(folder, "product.txt"), b"the product\n" * 100)
        archive = os.path.join(out, "payload.7z")
        if os.path.exists(archive):
            os.unlink(archive)
        subprocess.run(["7zz", "a", "-bd", "-mtm=off", archive, "product.txt"], cwd=folder,
                       check=True, stdout=subprocess.DEVNULL)
    os.utime(archive, (EPOCH, EPOCH))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    main(sys.argv[1])
