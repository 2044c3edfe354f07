#!/usr/bin/env python3
"""tamrel-pack inspect, verify and extract on installers as a release engineer meets them: plain,
branded, signed, changed after signing, with a stub byte changed, incomplete, not an installer
at all, and forged where a digest of the stub's sections does not look; the line printed after
packing and the command-line conveniences.

Usage: reading_commands_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import glob
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import unittest

from make_installer_test import (ARCHIVE, BUILD, SETUP, WINE, PackerTest, check_stub, pack,
                                 packer_fixtures)

# Where a forger puts new tables: the headers' page past the section table, mapped at RVA = offset.
SLACK = 0x800
PLANTED = b"tamrel-planted.dll"
# What would act on a terminal rather than show: C0 but the line ends, DEL, C1, the line
# separators and the bidirectional marks and overrides.
CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u200e\u200f\u2028-\u202e\u2066-\u2069]")


def changed(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]


def forged(data, patch):
    """The installer changed by patch(data, image, optional header's offset), its PE checksum
    then made right again, as a forger leaves it."""
    data = bytearray(data)
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    patch(data, check_stub.read_pe(bytes(data)), optional)
    struct.pack_into("<I", data, check_stub.checksum_field(data), check_stub.pe_checksum(data))
    return bytes(data)


def section_header(data, name):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    return next(table + 40 * i for i in range(struct.unpack_from("<H", data, pe + 6)[0])
                if data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0") == name.encode())


def directory(optional, index):
    return optional + 112 + 8 * index


def make_text_writable(data, image, optional):
    at = section_header(data, ".text") + 36
    struct.pack_into("<I", data, at, struct.unpack_from("<I", data, at)[0] | 0x80000000)


def plant_import(data, image, optional):
    """The import directory pointed at a copy of the table with one more DLL in it."""
    rva, descriptors = image.directory(check_stub.DIR_IMPORT)[0], b""
    while not descriptors.endswith(bytes(20)):
        descriptors += image.read(rva + len(descriptors), 20)
    lookup = SLACK + len(descriptors) + 20
    iat, hint, name = lookup + 16, lookup + 32, lookup + 48
    table = descriptors[:-20] + struct.pack("<5I", lookup, 0, 0, name, iat) + bytes(20)
    thunks = struct.pack("<QQ", hint, 0)
    for at, part in ((SLACK, table), (lookup, thunks), (iat, thunks), (hint, b"\0\0Planted\0"),
                     (name, PLANTED + b"\0")):
        data[at:at + len(part)] = part
    struct.pack_into("<II", data, directory(optional, check_stub.DIR_IMPORT), SLACK, len(table))


def add_tls_callback(data, image, optional):
    """A TLS directory whose one callback is the entry point: it runs before the entry point."""
    base = image.image_base
    tls = struct.pack("<4Q2I2Q", 0, 0, base + SLACK + 40, base + SLACK + 48, 0, 0,
                      base + image.entry_point, 0)
    data[SLACK:SLACK + len(tls)] = tls
    struct.pack_into("<II", data, directory(optional, check_stub.DIR_TLS), SLACK, 40)


def add_relocation(data, image, optional):
    """One more block of base relocations, aimed at the entry point's code: under ASLR the
    loader adds the displacement to the 8 bytes there."""
    rva, size = image.directory(check_stub.DIR_BASERELOC)
    section, entry = image.section_at(rva), image.entry_point
    at = section.raw_offset + size
    data[at:at + 12] = struct.pack("<2I2H", entry & ~0xFFF, 12, 0xA000 | entry & 0xFFF, 0)
    struct.pack_into("<I", data, directory(optional, check_stub.DIR_BASERELOC) + 4, size + 12)
    struct.pack_into("<I", data, section_header(data, section.name) + 8, size + 12)


def require_administrator(data, image, optional):
    old = b'level="asInvoker" uiAccess="false"'
    at = data.index(old)
    data[at:at + len(old)] = b'level="requireAdministrator"'.ljust(len(old))


def remove_manifest(data, image, optional):
    """Type 24 in the resource directory renumbered 23: Windows finds no manifest."""
    root = image.directory(check_stub.DIR_RESOURCE)[0]
    at = image.section_at(root).raw_offset + root - image.section_at(root).rva
    named, ids = struct.unpack_from("<HH", data, at + 12)
    entry = next(at + 16 + 8 * i for i in range(named, named + ids)
                 if struct.unpack_from("<I", data, at + 16 + 8 * i)[0] == 24)
    struct.pack_into("<I", data, entry, 23)


def tree_entries(data, image, offset=0):
    """The file offsets of a resource directory's entries (at `offset` in the tree) and the root's."""
    root = image.section_at(image.directory(check_stub.DIR_RESOURCE)[0])
    root = root.raw_offset + image.directory(check_stub.DIR_RESOURCE)[0] - root.rva
    named, ids = struct.unpack_from("<HH", data, root + offset + 12)
    return [root + offset + 16 + 8 * i for i in range(named + ids)], root


def target(data, entry):
    return struct.unpack_from("<I", data, entry + 4)[0]


def share_types(data, image, optional):
    """Every type's entry aimed at the first type's directory of names."""
    entries, _ = tree_entries(data, image)
    for entry in entries[1:]:
        struct.pack_into("<I", data, entry + 4, target(data, entries[0]))


def loop_to_root(data, image, optional):
    """The first type's first name aimed back at the root directory."""
    entries, _ = tree_entries(data, image)
    names, _ = tree_entries(data, image, target(data, entries[0]) & 0x7FFFFFFF)
    struct.pack_into("<I", data, names[0] + 4, 0x80000000)


def share_data(data, image, optional):
    """The second type's first resource aimed at the first type's first data entry."""
    leaves = []
    for entry in tree_entries(data, image)[0][:2]:
        names, _ = tree_entries(data, image, target(data, entry) & 0x7FFFFFFF)
        leaves.append(tree_entries(data, image, target(data, names[0]) & 0x7FFFFFFF)[0][0])
    struct.pack_into("<I", data, leaves[1] + 4, target(data, leaves[0]))


def reverse_ids(data, image, optional):
    """The root's numbered types stored in descending order: each one after a higher."""
    _, root = tree_entries(data, image)
    named, ids = struct.unpack_from("<HH", data, root + 12)
    at = root + 16 + 8 * named
    pairs = [data[at + 8 * i:at + 8 * i + 8] for i in range(ids)]
    data[at:at + 8 * ids] = b"".join(reversed(pairs))


def forgery(fault):
    """The row of an installer whose stub is not genuine for `fault` alone."""
    return 0, {"stub.genuine": False, "stub.faults": [fault]}, 1, ["stub NOT genuine: " + fault]


class InspectTest(PackerTest):
    def test_verdicts(self):
        plain = self.built(self.product, "plain.exe")
        signed = self.built([*self.product, "--sign-cert", self.cert, "--sign-key", self.key],
                            "signed.exe")
        icon = self.file("icon.ico", packer_fixtures.icon_file(((16, 32, "bmp"), (48, 8, "bmp"))))
        self.built([*self.product, "--product-name", "Kestrel Odd", "--company", "Kestrel",
                    "--icon", icon, "--resource", "NOTES", "README", self.setup], "branded.exe")
        self.built(["--setup", self.setup, "--allow-incomplete"], "incomplete.exe")
        self.file("tampered.exe", changed(signed, signed.index(ARCHIVE) + 7))
        self.file("stub.exe", changed(plain, 0x1000 + 0x40))
        dll = check_stub.read_pe(plain).dll_characteristics
        for name, patch in (
                ("writable", make_text_writable), ("planted", plant_import),
                ("tls", add_tls_callback), ("relocated", add_relocation),
                ("elevated", require_administrator), ("unmanifested", remove_manifest),
                ("console", lambda d, _, o: struct.pack_into("<H", d, o + 68, 3)),
                ("no-aslr", lambda d, _, o: struct.pack_into("<H", d, o + 70, dll & ~0x140)),
                ("appended", lambda d, _, o: d.extend(b"hidden")),
                ("padded", lambda d, _, o: d.__setitem__(slice(-6, None), b"hidden"))):
            self.file(name + ".exe", forged(plain, patch))
        for name, patch in (("shared", share_types), ("looping", loop_to_root),
                            ("overlapping", share_data), ("unsorted", reverse_ids)):
            self.file(name + ".exe", forged(plain, patch))
        types = len(tree_entries(plain, check_stub.read_pe(plain))[0])
        ids = sorted({kind for kind, _, _ in check_stub.read_resources(plain) if isinstance(kind, int)})
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
            "writable.exe": forgery("the stub's section .text is writable, the release's is not"),
            "no-aslr.exe": forgery(f"DllCharacteristics 0x{dll & ~0x140:04X}, the release's "
                                   f"0x{dll:04X}"),
            "console.exe": forgery("the subsystem is 3 (console), the release's 2 (GUI)"),
            "planted.exe": forgery("the import directory differs from the release's"),
            "tls.exe": forgery("a TLS directory, which the release has not"),
            "relocated.exe": forgery("the base relocations differ from the release's"),
            "elevated.exe": forgery("the manifest differs from the release's"),
            "unmanifested.exe": forgery("no manifest (RT_MANIFEST), which the release has"),
            "appended.exe": forgery("6 bytes after the last section, where the release has none"),
            "padded.exe": forgery(f"bytes at file offset 0x{len(plain) - 6:08X} outside every "
                                  "section, where the release has none"),
            "version_escape.exe": (0, {"version.strings.ProductName": evil,
                                       "signature.subject": "CN=Evil\x1b[2J\nSigner"}, 1,
                                   ["checksum", "changed after signing"]),
            "name_escape.exe": (0, {"setup.name": "SETUP\x1b[2J\nX", "would_exit": None,
                                    "setup.program_error": "is not a Windows program: no MZ "
                                                           "header"}, 1,
                                ["the setup program is not a Windows program: no MZ header"]),
            # Each directory walked once, each resource's bytes its own: what is shared or loops
            # is refused, counted a kind (not listed an entry).
            "shared.exe": (1, {}, 1, [f"reached from more than one entry (and {types - 2:,} "
                                      "more like it)"]),
            "looping.exe": (1, {"error": "damaged: the resource directory at offset 0 is reached "
                                         "from more than one entry"}, 1, ["offset 0"]),
            "overlapping.exe": (1, {"error": "damaged: the data of resource BL 'SETUP.EX_' "
                                             "overlaps another resource's"}, 1, ["overlaps"]),
            "unsorted.exe": (0, {"would_exit": None}, 1, [
                f"the resource directory is not sorted: '{ids[-2]}' after '{ids[-1]}' (and "
                f"{len(ids) - 2} more like it)"]),
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

    def test_planted_import_is_loaded_before_the_stub(self):
        """The planted DLL is a real threat: the loader looks for it before any of the stub runs,
        and without it the installer does not start at all."""
        path = self.file("planted-run.exe", forged(self.built(self.product), plant_import))
        env = {**os.environ, "STUB_BUILD_DIR": BUILD, "WINEDEBUG": "err+module"}
        done = subprocess.run([WINE, path], cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=120, env=env)
        self.assertNotEqual(0, done.returncode)
        self.assertIn(PLANTED.decode() + " (which is needed by", done.stderr)

    def test_every_installer_the_build_made_is_genuine(self):
        paths = glob.glob(os.path.join(BUILD, "tests", "installers", "*.exe"))
        if not paths:
            self.skipTest("no installers built (the test_installers target)")
        for path in paths:
            with self.subTest(os.path.basename(path)):
                report = json.loads(pack(["inspect", path, "--json"]).stdout)
                self.assertEqual((True, []), (report["stub"]["genuine"], report["stub"]["faults"]))

    def extracted(self, args, name, patch=None):
        path, to = os.path.join(self.dir, name + ".exe"), os.path.join(self.dir, name)
        data = self.built(args, name + ".exe")
        if patch:
            self.file(name + ".exe", patch(data))
        done = pack(["extract", path, "--to=" + to])
        self.assertEqual(0, done.returncode, done.stderr)
        files = {}
        for each in os.listdir(to):
            with open(os.path.join(to, each), "rb") as f:
                files[each] = f.read()
            mode = os.stat(os.path.join(to, each)).st_mode & 0o777
            self.assertEqual(0o755 if each == "setup.exe" else 0o644, mode, each)
        return path, to, files

    def test_extract_round_trip(self):
        os.umask(0o022)
        path, to, files = self.extracted(self.product, "round")
        self.assertEqual({"TAMREL.PACKED.7Z": ARCHIVE, "setup.exe": SETUP}, files)
        done = pack(["extract", path, "--to", to])
        self.assertEqual(2, done.returncode)
        self.assertIn("must be an empty folder", done.stderr)
        # Names as both systems take them: a path stays a name inside the folder; names Windows
        # compares as one (its case, setup.exe), devices and what an 8.3 name may be are renamed;
        # a name the installer takes is cut to what Linux takes (255 bytes of UTF-8).
        wide = "TAMREL" + "\u5b57" * 150
        lower = lambda d: d.replace("X\u00ca".encode("utf-16-le"), "X\u00e9".encode("utf-16-le"))
        for args, patch, names in (
                (["--resource", "BN", "tamrel/../..", self.setup], None, ["TAMREL_.._._"]),
                (["--resource", "BN", "X\u00c9", self.setup, "--resource", "BN", "X\u00ca",
                  self.setup], lower, ["X\u00c9", "X\u00e9 (2)"]),
                (["--resource", "BN", "CON", self.setup, "--resource", "BN", "aux.txt",
                  self.setup, "--resource", "BN", "LPT1 .7z", self.setup, "--resource", "BN",
                  "COM10", self.setup], None, ["CON_", "AUX_.TXT", "LPT1 _.7Z", "COM10"]),
                (["--resource", "BN", "TAMREL~1.7Z", self.setup, "--resource", "BN",
                  "TAMREL_1.7Z", self.setup, "--resource", "BN", "SETUP.EXE", self.setup], None,
                 ["TAMREL_1.7Z", "TAMREL_1 (2).7Z", "SETUP (2).EXE"])):
            with self.subTest(names):
                shutil.rmtree(os.path.join(self.dir, "names"), ignore_errors=True)
                _, _, files = self.extracted([*self.product, *args, "--allow-incomplete"],
                                             "names", patch)
                self.assertEqual({name: SETUP for name in names},
                                 {name: files.get(name) for name in names})
                shutil.rmtree(os.path.join(self.dir, "names"))
        _, _, files = self.extracted(["--resource", "B7", wide, self.archive, "--setup",
                                      self.setup], "wide")
        self.assertEqual({wide[:6 + 78]: ARCHIVE, "setup.exe": SETUP}, files)
        # A damaged cabinet is found before anything is written: no archive, no folder.
        data = self.built(self.product, "damaged.exe")
        cabinet = next(v for (kind, _, _), v in check_stub.read_resources(data).items()
                       if kind == "BL")
        self.file("damaged.exe", changed(data, data.index(cabinet) + len(cabinet) - 8))
        done = pack(["extract", os.path.join(self.dir, "damaged.exe"), "--to",
                     os.path.join(self.dir, "damaged")])
        self.assertEqual((2, False), (done.returncode, os.path.exists(
            os.path.join(self.dir, "damaged"))), done.stderr)
        self.assertIn("has a wrong checksum", done.stderr)

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
