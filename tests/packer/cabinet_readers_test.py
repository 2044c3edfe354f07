#!/usr/bin/env python3
"""The setup cabinet tamrel-pack writes, read by three independent readers: the system's
cabinet.dll under Wine (through the stub's own ExpandCabinet), gcab and cabextract. Each must give
back the very setup program packed, at the sizes where MSZIP's 32 KiB blocks begin and end.

Usage: cabinet_readers_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import os
import random
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [os.path.join(ROOT, "tests", "pe")]
import check_stub  # noqa: E402

BUILD = os.path.abspath(os.environ.get("STUB_BUILD_DIR") or os.path.join(ROOT, "build"))
PACK = os.path.join(BUILD, "bin", "tamrel-pack")
WINE = os.path.join(ROOT, "scripts", "wine")
EXPAND = os.path.join(BUILD, "tests", "expand_cabinet.exe")
BLOCK = 32768


def mixed(size, seed=7):
    """Runs of random bytes (stored blocks) between runs of repeated text (matches that reach
    back into the block before)."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(rng.randrange(1, 3 * BLOCK))
        out += b"MZ setup program text %d " % rng.randrange(100) * rng.randrange(1, 4000)
    return bytes(out[:size])


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


SETUPS = [
    ("empty", b""),
    ("one byte", b"M"),
    ("one block", random.Random(1).randbytes(BLOCK)),
    ("one block and a byte", b"\0" * BLOCK + b"\1"),
    ("3 MiB mixed", mixed(3 * 1024 * 1024 + 123)),
]

# Each reader: a command that expands cabinet CAB into folder OUT as OUT/setup.exe.
READERS = [
    ("cabinet.dll", lambda cab, out: [WINE, EXPAND, windows_path(cab),
                                      windows_path(os.path.join(out, "setup.exe"))]),
    ("gcab", lambda cab, out: ["gcab", "-x", "-C", out, cab]),
    ("cabextract", lambda cab, out: ["cabextract", "-q", "-d", out, cab]),
]


class CabinetReadersTest(unittest.TestCase):
    def test_every_reader_expands_the_packed_setup(self):
        with tempfile.TemporaryDirectory(prefix="cabinet-readers-") as scratch:
            for label, setup in SETUPS:
                folder = os.path.join(scratch, label.replace(" ", "_"))
                os.mkdir(folder)
                source = os.path.join(folder, "setup.exe")
                with open(source, "wb") as f:
                    f.write(setup)
                installer = os.path.join(folder, "installer.exe")
                done = subprocess.run([PACK, "--output", installer, "--allow-incomplete", "--setup", source],
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                self.assertEqual(0, done.returncode, done.stdout)
                cabinet = os.path.join(folder, "setup.cab")
                with open(cabinet, "wb") as f:
                    f.write(check_stub.find_resource(check_stub.read_resources(installer), "BL",
                                                     "SETUP.EX_"))
                for reader, command in READERS:
                    with self.subTest(setup=label, reader=reader):
                        out = os.path.join(folder, reader)
                        os.mkdir(out)
                        # Output to a file, not a pipe: Wine's services, started on the way,
                        # would hold a pipe open after the reader is done.
                        with open(out + ".log", "w+") as log:
                            done = subprocess.run(command(cabinet, out), stdin=subprocess.DEVNULL,
                                                  stdout=log, stderr=subprocess.STDOUT)
                            log.seek(0)
                            self.assertEqual(0, done.returncode, log.read())
                        self.assertEqual(["setup.exe"], os.listdir(out))
                        with open(os.path.join(out, "setup.exe"), "rb") as f:
                            self.assertTrue(f.read() == setup, "expanded bytes differ")


if __name__ == "__main__":
    unittest.main()
