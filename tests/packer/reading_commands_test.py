#!/usr/bin/env python3
"""tamrel-pack inspect, verify and extract on installers as a release engineer meets them: plain,
branded, signed, changed after signing, with a stub byte changed, incomplete, not an installer
at all, and forged where a digest of the stub's sections does not look; signatures forged
without the key, time-stamped, nested and judged against a --ca-file, by the Linux and the
Windows build alike; the line printed after packing and the command-line conveniences.

Usage: reading_commands_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import glob
import hashlib
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import time
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


def der(tag, content):
    size = (len(content).bit_length() + 7) // 8
    length = bytes([len(content)]) if len(content) < 0x80 else \
        bytes([0x80 | size]) + len(content).to_bytes(size, "big")
    return bytes([tag]) + length + content


def der_split(data):
    """(tag, header size, content size) of the DER element at the front of `data`."""
    if data[1] < 0x80:
        return data[0], 2, data[1]
    count = data[1] & 0x7F
    return data[0], 2 + count, int.from_bytes(data[2:2 + count], "big")


def der_content(element):
    _, header, size = der_split(element)
    return element[header:header + size]


def der_parts(element):
    """The tag of a constructed element and its children's encodings."""
    content, parts = der_content(element), []
    while content:
        _, header, size = der_split(content)
        parts.append(content[:header + size])
        content = content[header + size:]
    return element[0], parts


def der_at(element, path):
    for index in path:
        element = der_parts(element)[1][index]
    return element


def der_edit(element, path, change):
    """`element` with its descendant at `path` (child indices, outermost first) replaced by
    change(descendant), every length on the way re-encoded."""
    if not path:
        return change(element)
    tag, parts = der_parts(element)
    parts[path[0]] = der_edit(parts[path[0]], path[1:], change)
    return der(tag, b"".join(parts))


def garbled(element):
    _, header, _ = der_split(element)
    return element[:header] + bytes(b ^ 0x5A for b in element[header:])


# Inside Authenticode's ContentInfo: the SignedData, its one SignerInfo, the file digest in the
# signed content, and the SignerInfo of the RFC 3161 token among the signer's unsigned attributes.
SIGNED_DATA = (1, 0)
SIGNER = (*SIGNED_DATA, -1, 0)
FILE_DIGEST = (*SIGNED_DATA, 2, 1, 0, 1, 1)
TOKEN_SIGNER = (*SIGNER, 6, 0, 1, 0, *SIGNED_DATA, -1, 0)
OID = {name: bytes.fromhex("06092a864886f70d0109" + last) for name, last in
       (("content_type", "03"), ("message_digest", "04"), ("signing_time", "05"),
        ("countersignature", "06"))}
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")


def security_entry(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 24 + 144


def signed_parts(data):
    """The file before its certificate table, and the PKCS #7 DER of the table's entry."""
    at = struct.unpack_from("<I", data, security_entry(data))[0]
    _, header, size = der_split(data[at + 8:])
    return data[:at], data[at + 8:at + 8 + header + size]


def entry(pkcs7, hidden=b""):
    body = pkcs7 + hidden + bytes(-(len(pkcs7) + len(hidden)) % 8)
    return struct.pack("<IHH", 8 + len(body), 0x200, 2) + body


def with_table(image, table):
    """`image` with `table` as its certificate table: the directory entry and checksum set, so
    that only the fault made shows."""
    data = bytearray(image + table)
    struct.pack_into("<II", data, security_entry(data), len(image), len(table))
    struct.pack_into("<I", data, check_stub.checksum_field(data), check_stub.pe_checksum(data))
    return bytes(data)


def resigned(data, path, change, image=None):
    old_image, pkcs7 = signed_parts(data)
    return with_table(image or old_image, entry(der_edit(pkcs7, path, change)))


def authenticode_sha256(image):
    skip = security_entry(image)
    checksum = skip - 144 + 64
    return hashlib.sha256(image[:checksum] + image[checksum + 4:skip] + image[skip + 8:]).digest()


class InspectTest(PackerTest):
    def countersigned(self, data, key, cert, garble):
        """`data` with a PKCS #9 countersignature by `key` over its signer's signature value,
        `cert` added to the signature's certificates."""
        image, pkcs7 = signed_parts(data)
        digest = hashlib.sha256(der_content(der_at(pkcs7, (*SIGNER, 5)))).digest()
        attributes = [der(0x30, OID["content_type"] + der(0x31, bytes.fromhex(
                          "06092a864886f70d010701"))),
                      der(0x30, OID["signing_time"] + der(0x31, der(0x17, time.strftime(
                          "%y%m%d%H%M%SZ", time.gmtime()).encode()))),
                      der(0x30, OID["message_digest"] + der(0x31, der(0x04, digest)))]
        attributes = der(0x31, b"".join(sorted(attributes)))
        value = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key], input=attributes,
                               stdout=subprocess.PIPE, check=True).stdout
        certificate = subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"],
                                     stdout=subprocess.PIPE, check=True).stdout
        fields = der_parts(der_at(certificate, (0,)))[1]
        counter = der(0x30, b"\x02\x01\x01" + der(0x30, fields[3] + fields[1]) +
                      bytes.fromhex("300d06096086480165030402010500") +
                      der(0xA0, der_content(attributes)) +
                      bytes.fromhex("300d06092a864886f70d0101010500") +
                      (garbled if garble else lambda e: e)(der(0x04, value)))
        pkcs7 = der_edit(pkcs7, SIGNER, lambda e: der(0x30, der_content(e) + der(
            0xA1, der(0x30, OID["countersignature"] + der(0x31, counter)))))
        pkcs7 = der_edit(pkcs7, (*SIGNED_DATA, 3),
                         lambda e: der(0xA0, der_content(e) + certificate))
        return with_table(image, entry(pkcs7))

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
        # Forgeries by someone without the key, each with the PE checksum made right again.
        image = signed_parts(signed)[0]
        payload = changed(image, image.index(ARCHIVE) + 7)
        self.file("garbled.exe", resigned(signed, (*SIGNER, 5), garbled))
        self.file("redigested.exe", resigned(signed, FILE_DIGEST, lambda e: der(
            0x04, authenticode_sha256(payload)), image=payload))
        self.file("stranger.exe", resigned(signed, (*SIGNER, 1, 1),
                                           lambda e: changed(e, len(e) - 1)))
        self.file("empty.exe", resigned(signed, SIGNED_DATA, lambda e: der(
            0x30, b"".join(der_parts(e)[1][:3]) + der(0x31, b""))))
        pkcs7 = signed_parts(signed)[1]
        self.file("hidden.exe", with_table(image, entry(pkcs7, b"hidden")))
        self.file("second.exe", with_table(image, entry(pkcs7) * 2))
        self.file("longer.exe", with_table(image, entry(pkcs7) + bytes(8)))
        server = packer_fixtures.make_signer(self.dir, "server", usage="serverAuth")
        self.built([*self.product, "--sign-cert", server[0], "--sign-key", server[1]], "server.exe")
        tsa = packer_fixtures.make_signer(self.dir, "stamper", "/CN=Kestrel Test TSA",
                                          "timeStamping")
        for name, garble in (("pkcs9.exe", False), ("pkcs9-garbled.exe", True)):
            self.file(name, self.countersigned(signed, *tsa[::-1], garble))
        ecdsa = packer_fixtures.make_signer(self.dir, "ecdsa", key=(
            "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"))
        self.built([*self.product, "--sign-cert", ecdsa[0], "--sign-key", ecdsa[1]], "ecdsa.exe")
        with packer_fixtures.TimeStampServer(self.dir) as server:
            stamped = self.built([*self.product, "--sign-cert", self.cert, "--sign-key", self.key,
                                  "--timestamp-url", server.url], "stamped.exe")
        self.file("stamp-garbled.exe", resigned(stamped, (*TOKEN_SIGNER, 5), garbled))
        trusted = self.file("trusted.pem", b"".join(
            pathlib.Path(path).read_bytes() for path in (self.cert, server.tsa_cert)))
        def signed_by_tool(source, name, digest, *extra):
            subprocess.run(["osslsigncode", "sign", "-certs", self.cert, "-key", self.key, "-h",
                            digest, *extra, "-in", os.path.join(self.dir, source), "-out",
                            os.path.join(self.dir, name)], check=True, stdout=subprocess.DEVNULL)
        signed_by_tool("plain.exe", "sha1.exe", "sha1")
        signed_by_tool("plain.exe", "sha384.exe", "sha384")
        signed_by_tool("sha384.exe", "nested.exe", "sha512", "-nest")
        setup_sha = hashlib.sha256(SETUP).hexdigest()
        unjudged = "chain of trust is not judged: give --ca-file"
        # (name, arguments): (inspect's exit code, the JSON fields expected, verify's exit code,
        # a fragment of each line verify prints)
        table = {
            ("plain.exe",): (0, {"would_exit": None, "stub.genuine": True, "signature": None,
                                 "setup.sha256": setup_sha, "archive.size": len(ARCHIVE),
                                 "checksum_ok": True}, 0, ["everything holds"]),
            ("branded.exe",): (0, {"version.strings.ProductName": "Kestrel Odd",
                                   "version.strings.CompanyName": "Kestrel"}, 0,
                               ["everything holds"]),
            ("signed.exe",): (0, {"signature.subject": "CN=Kestrel Test Signer",
                                  "signature.digest_algorithm": "sha256",
                                  "signature.digest_ok": True, "signature.holds": True,
                                  "signature.chain.judged": False}, 0,
                              [unjudged, "everything holds"]),
            ("tampered.exe",): (0, {"signature.digest_ok": False, "stub.genuine": True}, 1,
                                [unjudged, "checksum", "changed after signing"]),
            ("stub.exe",): (0, {"stub.genuine": False, "would_exit": None}, 1,
                            ["checksum", "not one a release of tamrel-pack carries"]),
            ("incomplete.exe",): (0, {"would_exit": 112, "archive": None}, 1,
                                  ["would exit with 112"]),
            ("product.7z",): (1, {"error": "not a Windows executable (no MZ header)"}, 1,
                              ["no MZ header"]),
            ("garbled.exe",): (0, {"signature.digest_ok": True, "signature.holds": False}, 1,
                               [unjudged, "does not verify with its certificate's key"]),
            ("redigested.exe",): (0, {"signature.digest_ok": True}, 1,
                                  [unjudged, "message digest does not match the signed content"]),
            ("stranger.exe",): (0, {"signature.subject": ""}, 1,
                                [unjudged, "no certificate it carries has the signer's issuer"]),
            ("empty.exe",): (0, {"signature.holds": False}, 1, [unjudged, "it has no signer"]),
            ("server.exe",): (0, {"signature.subject": "CN=Kestrel Test Signer"}, 1,
                              [unjudged, "its certificate is not for code signing"]),
            ("hidden.exe",): (0, {}, 1, [unjudged, "hides 8 bytes after the signature"]),
            ("second.exe",): (0, {}, 1, [unjudged, "holds a second entry"]),
            ("longer.exe",): (0, {}, 1, [unjudged, "table is 8 bytes longer than its entry"]),
            ("pkcs9.exe",): (0, {"signature.timestamp.kind": "PKCS #9",
                                 "signature.timestamp.time": TIME,
                                 "signature.timestamp.authority": "CN=Kestrel Test TSA"}, 0,
                             [unjudged, "everything holds"]),
            ("pkcs9-garbled.exe",): (0, {"signature.timestamp.time": None}, 1,
                                     [unjudged, "time stamp: its signature does not verify"]),
            ("ecdsa.exe",): (0, {"signature.holds": True}, 0, [unjudged, "everything holds"]),
            ("stamped.exe",): (0, {"signature.timestamp.kind": "RFC 3161",
                                   "signature.timestamp.time": TIME,
                                   "signature.timestamp.authority": "CN=Loopback TSA"}, 0,
                               [unjudged, "everything holds"]),
            ("stamp-garbled.exe",): (0, {"signature.timestamp.time": None,
                                         "signature.timestamp.holds": False}, 1,
                                     [unjudged, "time stamp: its signature does not verify"]),
            ("sha1.exe",): (0, {"signature.digest_algorithm": "sha1"}, 1,
                            [unjudged, "signed with SHA-1, which Windows no longer trusts"]),
            ("nested.exe",): (0, {"signature.digest_algorithm": "sha384",
                                  "signature.nested.0.digest_algorithm": "sha512",
                                  "signature.nested.0.holds": True}, 0,
                              [unjudged, "everything holds"]),
            ("signed.exe", "--ca-file", self.cert): (0, {"signature.chain.holds": True}, 0,
                                                     ["everything holds"]),
            ("signed.exe", "--ca-file", self.other_cert): (
                0, {"signature.chain.holds": False}, 1, ["the signature's chain of trust: "]),
            ("stamped.exe", "--ca-file", trusted): (0, {"signature.timestamp.chain.holds": True},
                                                    0, ["everything holds"]),
            ("plain.exe", "--require-signature"): (0, {}, 1, ["unsigned, and --require-signature "
                                                              "asks for a signature"]),
            ("writable.exe",): forgery("the stub's section .text is writable, the release's is not"),
            ("no-aslr.exe",): forgery(f"DllCharacteristics 0x{dll & ~0x140:04X}, the release's "
                                   f"0x{dll:04X}"),
            ("console.exe",): forgery("the subsystem is 3 (console), the release's 2 (GUI)"),
            ("planted.exe",): forgery("the import directory differs from the release's"),
            ("tls.exe",): forgery("a TLS directory, which the release has not"),
            ("relocated.exe",): forgery("the base relocations differ from the release's"),
            ("elevated.exe",): forgery("the manifest differs from the release's"),
            ("unmanifested.exe",): forgery("no manifest (RT_MANIFEST), which the release has"),
            ("appended.exe",): forgery("6 bytes after the last section, where the release has none"),
            ("padded.exe",): forgery(f"bytes at file offset 0x{len(plain) - 6:08X} outside every "
                                  "section, where the release has none"),
            ("version_escape.exe",): (0, {"version.strings.ProductName": evil,
                                       "signature.subject": "CN=Evil\x1b[2J\nSigner"}, 1,
                                   [unjudged, "checksum", "changed after signing"]),
            ("name_escape.exe",): (0, {"setup.name": "SETUP\x1b[2J\nX", "would_exit": None,
                                    "setup.program_error": "is not a Windows program: no MZ "
                                                           "header"}, 1,
                                ["the setup program is not a Windows program: no MZ header"]),
            # Each directory walked once, each resource's bytes its own: what is shared or loops
            # is refused, counted a kind (not listed an entry).
            ("shared.exe",): (1, {}, 1, [f"reached from more than one entry (and {types - 2:,} "
                                      "more like it)"]),
            ("looping.exe",): (1, {"error": "damaged: the resource directory at offset 0 is reached "
                                         "from more than one entry"}, 1, ["offset 0"]),
            ("overlapping.exe",): (1, {"error": "damaged: the data of resource BL 'SETUP.EX_' "
                                             "overlaps another resource's"}, 1, ["overlaps"]),
            ("unsorted.exe",): (0, {"would_exit": None}, 1, [
                f"the resource directory is not sorted: '{ids[-2]}' after '{ids[-1]}' (and "
                f"{len(ids) - 2} more like it)"]),
            ("languages.exe",): (0, {"would_exit": None, "archive.size": len("archive bytes")}, 1,
                              ["resource B7 'TAMREL.X' is stored in 2 languages "
                               "(1031, 1033): which one the installer takes depends on",
                               "the setup program is not a Windows program",
                               "not one a release of tamrel-pack carries"]),
        }
        # How the plain report shows the file's own text.
        shown = {"version_escape.exe": ["K\\x1b[2J\\nl Odd", "CN=Evil\\x1b[2J\\nSigner"],
                 "name_escape.exe": ["BN SETUP\\x1b[2J\\nX 1033"]}
        for (name, *args), (inspect_code, fields, verify_code, fragments) in table.items():
            with self.subTest(name=name, args=args):
                path = os.path.join(self.dir, name)
                inspect_args = [a for a in args if a != "--require-signature"]
                done = pack(["inspect", path, "--json", *inspect_args])
                self.assertEqual(inspect_code, done.returncode, done.stderr)
                report = json.loads(done.stdout)
                text = done.stdout
                for dotted, expected in fields.items():
                    value = report
                    for key in dotted.split("."):
                        value = value[int(key) if isinstance(value, list) else key]
                    if isinstance(expected, re.Pattern):
                        self.assertRegex(value, expected, dotted)
                    else:
                        self.assertEqual(expected, value, dotted)
                text += pack(["inspect", path, *inspect_args]).stdout
                for fragment in shown.get(name, []):
                    self.assertIn(fragment, text)
                done = pack(["verify", path, *args])
                self.assertIsNone(CONTROL.search(text + done.stdout), text + done.stdout)
                lines = done.stdout.splitlines()
                self.assertEqual((verify_code, len(fragments)), (done.returncode, len(lines)),
                                 done.stdout + done.stderr)
                for fragment, line in zip(fragments, lines):
                    self.assertIn(fragment, line)
                on_windows = pack(["verify", path, *args], windows=True)
                self.assertEqual((done.returncode, done.stdout),
                                 (on_windows.returncode, on_windows.stdout), on_windows.stderr)

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
        # Where the installer cannot be mapped it is read into a buffer, whose bytes the passes
        # must not give back as they do a mapping's pages.
        shim = os.path.join(self.dir, "fault_shim.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim,
                        os.path.join(os.path.dirname(__file__), "fault_shim.c"), "-ldl"],
                       check=True)
        unmapped = os.path.join(self.dir, "unmapped")
        done = pack(["extract", path, "--to", unmapped],
                    env_add={"LD_PRELOAD": shim, "PACK_FAULT": "mmap-input"})
        self.assertEqual(0, done.returncode, done.stderr)
        self.assertEqual(files, {name: pathlib.Path(unmapped, name).read_bytes()
                                 for name in os.listdir(unmapped)})
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
                              (["verify", out, "--ca-file", out + ".none"], "cannot read"),
                              (["verify", out, "--ca-file", self.archive],
                               "holds no PEM certificate"),
                              (["--output", out, "--product-name", "--company"], "is an option")):
            done = pack(args)
            self.assertEqual(2, done.returncode)
            self.assertIn(message, done.stderr)


if __name__ == "__main__":
    unittest.main()
