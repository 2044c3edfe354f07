#!/usr/bin/env python3
"""tamrel-pack inspect, verify and extract on installers as a release engineer meets them: plain,
branded, signed, changed after signing, with a stub byte changed, incomplete, and not an
installer at all; the line printed after packing and the command-line conveniences.

Usage: reading_commands_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import hashlib
import json
import os
import re
import shutil
import unittest

import packer_fixtures
from make_installer_test import ARCHIVE, BUILD, SETUP, PackerTest, pack

# What would act on a terminal rather than show: C0 but the line ends, DEL, C1, the line
# separators and the bidirectional marks and overrides.
CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u200e\u200f\u2028-\u202e\u2066-\u2069]")


def changed(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]


class InspectTest(PackerTest):
    def test_verdicts(self):
        plain = self.built(self.product, "plain.exe")
        signed = self.built([*self.product, "--sign-cert", self.cert, "--sign-key", self.key],
                            "signed.exe")
        self.built([*self.product, "--product-name", "Kestrel Odd", "--company", "Kestrel"],
                   "branded.exe")
        self.built(["--setup", self.setup, "--allow-incomplete"], "incomplete.exe")
        self.file("tampered.exe", changed(signed, signed.index(ARCHIVE) + 7))
        self.file("stub.exe", changed(plain, 0x1000 + 0x40))
        # The file's own text holding ESC[2J and a line feed: a version string, changed in place
        # (as long as "Kestrel Odd") in an installer signed for a signer whose name holds them too,
        # and a resource name.
        evil = "K\x1b[2J\nl Odd"
        cert, key = packer_fixtures.make_signer(self.dir, "evil", "/CN=Evil\x1b[2J\nSigner")
        versioned = self.built([*self.product, "--product-name", "Kestrel Odd", "--sign-cert", cert,
                                "--sign-key", key], "version_escape.exe")
        self.file("version_escape.exe", versioned.replace("Kestrel Odd".encode("utf-16-le"),
                                                          evil.encode("utf-16-le")))
        self.built(["--archive", self.archive, "--resource", "BN", "setup\x1b[2J\nx",
                    self.file("text.bin", b"no program"), "--allow-incomplete"], "name_escape.exe")
        # An archive stored in two languages, the first empty (tests/platform/resource_image.rc):
        # the lookup takes the other, but which one depends on the user's machine.
        shutil.copy(os.path.join(BUILD, "tests", "platform_resource_image.exe"),
                    os.path.join(self.dir, "languages.exe"))
        setup_sha = hashlib.sha256(SETUP).hexdigest()
        # name: (inspect's exit code, the JSON fields expected, verify's exit code, a fragment
        # of each line verify prints)
        table = {
            "plain.exe": (0, {"would_exit": None, "stub.genuine": True, "signature": None,
                              "setup.sha256": setup_sha, "archive.size": len(ARCHIVE),
                              "checksum_ok": True}, 0, ["everything holds"]),
            "branded.exe": (0, {"version.strings.ProductName": "Kestrel Odd",
                                "version.strings.CompanyName": "Kestrel"}, 0,
                            ["everything holds"]),
            "signed.exe": (0, {"signature.subject": "CN=Kestrel Test Signer",
                               "signature.digest_algorithm": "sha256",
                               "signature.digest_ok": True}, 0, ["everything holds"]),
            "tampered.exe": (0, {"signature.digest_ok": False, "stub.genuine": True}, 1,
                             ["checksum", "changed after signing"]),
            "stub.exe": (0, {"stub.genuine": False, "would_exit": None}, 1,
                         ["checksum", "not one a release of tamrel-pack carries"]),
            "incomplete.exe": (0, {"would_exit": 112, "archive": None}, 1,
                               ["would exit with 112"]),
            "product.7z": (1, {"error": "not a Windows executable (no MZ header)"}, 1,
                           ["no MZ header"]),
            "version_escape.exe": (0, {"version.strings.ProductName": evil,
                                       "signature.subject": "CN=Evil\x1b[2J\nSigner"}, 1,
                                   ["checksum", "changed after signing"]),
            "name_escape.exe": (0, {"setup.name": "SETUP\x1b[2J\nX", "would_exit": None,
                                    "setup.program_error": "is not a Windows program: no MZ "
                                                           "header"}, 1,
                                ["the setup program is not a Windows program: no MZ header"]),
            "languages.exe": (0, {"would_exit": None, "archive.size": len("archive bytes")}, 1,
                              ["resource B7 'TAMREL.X' is stored in 2 languages "
                               "(1031, 1033): which one the installer takes depends on",
                               "the setup program is not a Windows program",
                               "not one a release of tamrel-pack carries"]),
        }
        # How the plain report shows the file's own text.
        shown = {"version_escape.exe": ["K\\x1b[2J\\nl Odd", "CN=Evil\\x1b[2J\\nSigner"],
                 "name_escape.exe": ["BN SETUP\\x1b[2J\\nX 1033"]}
        for name, (inspect_code, fields, verify_code, fragments) in table.items():
            with self.subTest(name):
                path = os.path.join(self.dir, name)
                done = pack(["inspect", path, "--json"])
                self.assertEqual(inspect_code, done.returncode, done.stderr)
                report = json.loads(done.stdout)
                text = done.stdout
                for dotted, expected in fields.items():
                    value = report
                    for key in dotted.split("."):
                        value = value[key]
                    self.assertEqual(expected, value, dotted)
                text += pack(["inspect", path]).stdout
                for fragment in shown.get(name, []):
                    self.assertIn(fragment, text)
                done = pack(["verify", path])
                self.assertIsNone(CONTROL.search(text + done.stdout), text + done.stdout)
                lines = done.stdout.splitlines()
                self.assertEqual((verify_code, len(fragments)), (done.returncode, len(lines)),
                                 done.stdout + done.stderr)
                for fragment, line in zip(fragments, lines):
                    self.assertIn(fragment, line)

    def extracted(self, args, name):
        path, to = os.path.join(self.dir, name + ".exe"), os.path.join(self.dir, name)
        self.built(args, name + ".exe")
        done = pack(["extract", path, "--to=" + to])
        self.assertEqual(0, done.returncode, done.stderr)
        files = {}
        for each in os.listdir(to):
            with open(os.path.join(to, each), "rb") as f:
                files[each] = f.read()
        return path, to, files

    def test_extract_round_trip(self):
        path, to, files = self.extracted(self.product, "round")
        self.assertEqual({"TAMREL.PACKED.7Z": ARCHIVE, "setup.exe": SETUP}, files)
        done = pack(["extract", path, "--to", to])
        self.assertEqual(2, done.returncode)
        self.assertIn("must be an empty folder", done.stderr)
        # A name that is a path stays a name inside the folder.
        _, _, files = self.extracted([*self.product, "--resource", "BN", "tamrel/../..", self.setup,
                                      "--allow-incomplete"], "unsafe")
        self.assertEqual(SETUP, files["TAMREL_.._._"])

    def test_summary_and_command_line(self):
        out = os.path.join(self.dir, "summary.exe")
        arguments = self.file("args.txt", "\n".join(
            ["--output", out, "--archive=" + self.archive, "", "--setup", self.setup, ""]).encode())
        # The digest is taken from the pages written, before the sync; signed by the packer, after
        # the signature is in.
        for extra, signer in (([], "unsigned"),
                              (["--sign-cert", self.cert, "--sign-key", self.key],
                               "signed by CN=Kestrel Test Signer")):
            done = pack(["@" + arguments, *extra])
            with open(out, "rb") as f:
                data = f.read()
            self.assertEqual((0, f"{out}: {len(data):,} bytes, sha256 "
                                 f"{hashlib.sha256(data).hexdigest()}, {signer}\n"),
                             (done.returncode, done.stdout), done.stderr)
        self.assertEqual((0, ""), (pack(["@" + arguments, "--quiet"]).returncode,
                                   pack(["@" + arguments, "--quiet"]).stdout))
        for args, message in ((["--output", out, "--product-nmae", "X"],
                               "did you mean --product-name?"),
                              (["inspect", out, "--jsn"], "did you mean --json?"),
                              (["--output", out, "--product-name", "--company"], "is an option")):
            done = pack(args)
            self.assertEqual(2, done.returncode)
            self.assertIn(message, done.stderr)


if __name__ == "__main__":
    unittest.main()
