#!/usr/bin/env python3
"""tamrel-pack inspect, verify and extract on installers as a release engineer meets them: plain,
branded, signed, changed after signing, with a stub byte changed, incomplete, and not an
installer at all; the line printed after packing and the command-line conveniences.

Usage: reading_commands_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import hashlib
import json
import os
import unittest

from make_installer_test import ARCHIVE, SETUP, PackerTest, pack


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
        }
        for name, (inspect_code, fields, verify_code, fragments) in table.items():
            with self.subTest(name):
                path = os.path.join(self.dir, name)
                done = pack(["inspect", path, "--json"])
                self.assertEqual(inspect_code, done.returncode, done.stderr)
                report = json.loads(done.stdout)
                for dotted, expected in fields.items():
                    value = report
                    for key in dotted.split("."):
                        value = value[key]
                    self.assertEqual(expected, value, dotted)
                done = pack(["verify", path])
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
