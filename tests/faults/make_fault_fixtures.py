#!/usr/bin/env python3
"""Writes the payload pieces of the fault tests into OUTDIR.

  small_archive.bin  64 KiB of pseudo-random bytes: an archive that fits anywhere
  big_archive.bin    5 MiB of pseudo-random bytes: an archive that an 8 MiB drive holding its
                     installer has no room for
  big_setup.bin      5 MiB of pseudo-random bytes behind a program's headers: the same for a
                     setup program stored whole
  zero_setup.bin     12 MiB of zeros behind a program's headers: a setup program whose cabinet is
                     small but which expands to more than the drive holds

The bytes are the same on every run (a fixed seed), so the installers built from them are too.
"""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packer"))
from packer_fixtures import program  # noqa: E402

MIB = 1 << 20


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    generator = random.Random(6)
    write(os.path.join(out, "small_archive.bin"), generator.randbytes(64 * 1024))
    write(os.path.join(out, "big_archive.bin"), generator.randbytes(5 * MIB))
    # The packer takes only a program for setup: these carry a program's headers.
    header = program()
    write(os.path.join(out, "big_setup.bin"), header + generator.randbytes(5 * MIB - len(header)))
    write(os.path.join(out, "zero_setup.bin"), header + bytes(12 * MIB - len(header)))


if __name__ == "__main__":
    main()
