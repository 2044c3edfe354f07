#!/usr/bin/env python3
"""Tests of tamrel-pack as a release engineer uses it: branding read back from the built file,
refusals before anything is written, Authenticode signing checked with osslsigncode, the dates it
writes, and byte-identical output from the Linux and the Windows build (run under Wine) and from
other current folders and copies of the inputs.

Usage: make_installer_test.py   ($STUB_BUILD_DIR names the build folder, default ./build)
"""
import os
import re
import shlex
import shutil
import socket as socketlib
import atexit
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.join(ROOT, "tests", "pe")]
import check_stub  # noqa: E402
import packer_fixtures  # noqa: E402

BUILD = os.path.abspath(os.environ.get("STUB_BUILD_DIR") or os.path.join(ROOT, "build"))
PACK = os.path.join(BUILD, "bin", "tamrel-pack")
WINE = os.path.join(ROOT, "scripts", "wine")
DIR_SECURITY = 4
RT_ICON, RT_GROUP_ICON, RT_VERSION = check_stub.RT_ICON, check_stub.RT_GROUP_ICON, 16
ARCHIVE = bytes(range(256)) * 16
SETUP = packer_fixtures.program(b"a setup program stand-in " * 8)


def pack(args, cwd=None, epoch=None, windows=False, env_add=None, **run):
    """Runs the Linux build, or the Windows one under Wine, with nothing on PATH but the signing
    tools: no compiler or other tool may be needed."""
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    env.update(STUB_BUILD_DIR=BUILD, PATH=SIGNING_TOOLS, **(env_add or {}))
    if epoch is not None:
        env["SOURCE_DATE_EPOCH"] = epoch
    command = [WINE, PACK + ".exe"] if windows else [PACK]
    if windows:
        env["PATH"] = os.environ["PATH"]
    run.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([*command, *args], cwd=cwd, env=env, stderr=subprocess.PIPE, text=True,
                          timeout=120, **run)


def snapshot(folder):
    """Every entry of a folder as it stands: its kind, identity, size and times."""
    entries = {}
    for name in os.listdir(folder):
        info = os.lstat(os.path.join(folder, name))
        entries[name] = (info.st_mode, info.st_ino, info.st_nlink, info.st_size, info.st_mtime_ns)
    return entries


def verify(path, ca):
    done = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout


def group_entries(resources):
    """(width byte, planes, bits, image bytes) of every image of icon group 107."""
    group = check_stub.find_resource(resources, RT_GROUP_ICON, 107)
    count = struct.unpack_from("<H", group, 4)[0]
    entries = []
    for i in range(count):
        width, _, _, _, planes, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group,
                                                                      6 + 14 * i)
        entries.append((width, planes, bits,
                        check_stub.find_resource(resources, RT_ICON, icon_id)))
    return entries


# osslsigncode and openssl, and nothing else: a folder of links to just these two.
SIGNING_TOOLS = tempfile.mkdtemp(prefix="packer-tools-")
atexit.register(shutil.rmtree, SIGNING_TOOLS, True)
for _tool in ("osslsigncode", "openssl"):
    os.symlink(shutil.which(_tool), os.path.join(SIGNING_TOOLS, _tool))


class PackerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="packer-test-")
        cls.dir = cls.scratch.name
        cls.archive = cls.file("product.7z", ARCHIVE)
        cls.setup = cls.file("setup.exe", SETUP)
        cls.cert, cls.key = packer_fixtures.make_signer(cls.dir)
        cls.other_cert, cls.other_key = packer_fixtures.make_signer(cls.dir, "other")
        cls.encrypted_key = os.path.join(cls.dir, "encrypted.key")
        subprocess.run(["openssl", "pkey", "-in", cls.key, "-aes256", "-passout", "pass:right",
                        "-out", cls.encrypted_key], check=True)
        cls.product = ["--archive", cls.archive, "--setup", cls.setup]
        cls.fifo = os.path.join(cls.dir, "fifo")
        os.mkfifo(cls.fifo)
        cls.socket = os.path.join(cls.dir, "socket")
        cls.listener = socketlib.socket(socketlib.AF_UNIX)
        cls.listener.bind(cls.socket)

    @classmethod
    def tearDownClass(cls):
        cls.listener.close()
        cls.scratch.cleanup()

    @classmethod
    def file(cls, name, data):
        path = os.path.join(cls.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def built(self, args, name="out.exe", epoch=None):
        out = os.path.join(self.dir, name)
        done = pack(["--output", out, *args], epoch=epoch)
        self.assertEqual(0, done.returncode, done.stderr)
        with open(out, "rb") as f:
            return f.read()

    def refused(self, args, output, fragment, epoch=None, windows=False, previous=True,
                output_arg=None, **run):
        """The run fails with one line naming the problem, prints nothing else, leaves OUT.exe
        and every file beside it as they were and no temporary file behind. `previous` writes
        a previous OUT.exe first; `output_arg` is --output as given, when not OUT.exe's path."""
        if previous:
            with open(output, "wb") as f:
                f.write(b"previous installer")
        folder = os.path.dirname(output)
        before = snapshot(folder)
        done = pack(["--output", output_arg or output, *args], epoch=epoch, windows=windows,
                    **run)
        self.assertEqual((2, ""), (done.returncode, done.stdout), done.stderr)
        message = done.stderr.strip()
        self.assertEqual(1, len(message.splitlines()), message)
        self.assertIn(fragment, message)
        self.assertEqual(before, snapshot(folder))


class BrandingTest(PackerTest):
    def test_version_block_reads_back(self):
        built_in = check_stub.read_version_info(os.path.join(BUILD, "stub.exe"))
        tricky = 'Quote "q", back\\slash, %d #define /* ü 日本 😀 */ \'s'
        cases = [
            ([], {}, built_in["product_version"]),
            (["--product-name", tricky, "--company", "Kestrel Works, Ltd.",
              "--product-version", "2.10.3"],
             {"ProductName": tricky, "FileDescription": tricky,
              "CompanyName": "Kestrel Works, Ltd.",
              "LegalCopyright": "Copyright (C) Kestrel Works, Ltd.", "ProductVersion": "2.10.3",
              "FileVersion": "2.10.3"}, (2, 10, 3, 0)),
            (["--product-name", "P", "--description", "D", "--company", "C", "--copyright",
              "(c) 2026 C", "--product-version", "7"],
             {"ProductName": "P", "FileDescription": "D", "CompanyName": "C",
              "LegalCopyright": "(c) 2026 C", "ProductVersion": "7", "FileVersion": "7"},
             (7, 0, 0, 0)),
            (["--product-version", "65535.0.1.65535"],
             {"ProductVersion": "65535.0.1.65535", "FileVersion": "65535.0.1.65535"},
             (65535, 0, 1, 65535)),
            (["--company", "x" * 256],
             {"CompanyName": "x" * 256, "LegalCopyright": "Copyright (C) " + "x" * 256},
             built_in["product_version"]),
        ]
        for args, changed, numbers in cases:
            with self.subTest(args=args):
                info = check_stub.read_version_info(self.built(self.product + args))
                expected = dict(next(iter(built_in["strings"].values())), **changed)
                self.assertEqual({"040904B0": expected}, info["strings"])
                self.assertEqual(numbers, info["product_version"])
                self.assertEqual(numbers, info["file_version"])
                self.assertEqual(built_in["translations"], info["translations"])

    def test_icon_replaces_group_107(self):
        built_in = check_stub.read_resources(os.path.join(BUILD, "stub.exe"))
        default = check_stub.read_resources(self.built(self.product))
        self.assertEqual(group_entries(built_in), group_entries(default))

        images = ((16, 32, "bmp"), (32, 4, "bmp"), (48, 8, "bmp"), (256, 32, "png"))
        for directory_bits in (True, False):
            with self.subTest(directory_bits=directory_bits):
                icon = self.file("icon.ico", packer_fixtures.icon_file(images, directory_bits))
                resources = check_stub.read_resources(self.built(self.product + ["--icon", icon]))
                expected = [(p % 256, 1, b, packer_fixtures.png_image(p) if k == "png"
                             else packer_fixtures.bitmap_image(p, b)) for p, b, k in images]
                self.assertEqual(expected, group_entries(resources))
                self.assertEqual(len(images), sum(1 for k in resources if k[0] == RT_ICON))


class RefusalTest(PackerTest):
    """Every bad option or input is refused with one line, and nothing is left behind."""

    def test_refused_with_a_clear_message(self):
        icon = packer_fixtures.icon_file(((16, 32, "bmp"), (32, 32, "bmp")))
        second = 6 + 16
        outside = bytearray(icon)
        struct.pack_into("<I", outside, second + 12, len(icon) - 10)
        empty_image = bytearray(icon)
        struct.pack_into("<I", empty_image, second + 8, 0)
        not_an_image = bytearray(icon)
        not_an_image[struct.unpack_from("<I", icon, second + 12)[0]] = 0x11
        encrypted = self.encrypted_key
        wrong_pass = self.file("wrong.pass", b"wrong")
        two_lines = self.file("two_lines.pass", b"right\nright\n")
        icons = [
            ("text.ico", b"this is not an icon at all", "is not an icon file"),
            ("short.ico", b"\0\0\1", "is truncated"),
            ("cursor.ico", struct.pack("<HHH", 0, 2, 1) + bytes(16), "is a cursor"),
            ("zero.ico", struct.pack("<HHH", 0, 1, 0), "holds no images"),
            ("cut_directory.ico", icon[:6 + 16 + 4], "is truncated: its directory of 2 images"),
            ("outside.ico", bytes(outside), "image 2 of 2 lies outside the file"),
            ("cut_image.ico", icon[:-1], "image 2 of 2 lies outside the file"),
            ("empty_image.ico", bytes(empty_image), "image 2 of 2 is empty"),
            ("garbage_image.ico", bytes(not_an_image), "image 2 of 2 is neither a PNG"),
            ("shared_image.ico", icon[:second + 12] + icon[6 + 12:6 + 16] + icon[second + 16:],
             "image 2 of 2 (bytes 38 to 4302) overlaps image 1 (bytes 38 to 1166)"),
            ("in_directory.ico", icon[:second + 12] + struct.pack("<I", 30) + icon[second + 16:],
             "image 2 of 2 overlaps the icon directory (bytes 30 to"),
            ("wide_bitmap.ico", packer_fixtures.icon_file(((16, 32, "bmp"), (32, 32, "bmp", 48))),
             "image 2 of 2 is 48x48 in the directory but its bitmap header says 32 wide and 64"),
            ("small_png.ico", packer_fixtures.icon_file(((16, 32, "bmp"), (256, 32, "png", 128))),
             "image 2 of 2 is 128x128 in the directory but 256x256 in its PNG header"),
            ("big_png.ico", packer_fixtures.icon_file(((16, 32, "bmp"), (512, 32, "png"))),
             "image 2 of 2 is a 512x512 PNG image; an icon image is at most 256x256"),
            ("big_bitmap.ico", packer_fixtures.icon_file(((300, 32, "bmp"), (16, 32, "bmp"))),
             "image 1 of 2 is a bitmap 300 wide and 600 high (colour and mask); an icon image"),
            ("huge.ico", bytes((16 << 20) + 1),
             "is 16777217 bytes; an icon file is at most 16 MiB"),
        ]
        cases = [(["--icon", self.file(name, data)], fragment) for name, data, fragment in icons]
        cases += [(["--product-version", v], "is not one to four dot-separated numbers")
                  for v in ("", "1.2.3.4.5", "1.65536", "v1", "1..2", "1.2.3-beta", " 1", "1.",
                            "1\n2")]
        cases += [
            (["--company", ""], "--company is empty"),
            (["--company", "\udcff"], "--company is not valid UTF-8 text"),  # the byte 0xFF
            (["--product-name", "two\nlines"], "--product-name holds a control character"),
            (["--description", "tab\there"], "--description holds a control character"),
            (["--copyright", "x" * 257], "--copyright is 257 UTF-16 units long; at most 256"),
            (["--product-name", "😀" * 129], "is 258 UTF-16 units long"),
            (["--sign-cert", self.cert], "--sign-cert and --sign-key go together"),
            (["--sign-key", self.key], "--sign-cert and --sign-key go together"),
            (["--timestamp-url", "http://127.0.0.1:1/"], "--timestamp-url needs --sign-cert"),
            (["--sign-cert", self.cert, "--sign-key", self.key, "--timestamp-url", "ftp://x"],
             "is not an http:// or https:// URL"),
            (["--sign-cert", self.key, "--sign-key", self.key], "reading the certificate"),
            (["--sign-cert", self.cert, "--sign-key", self.cert], "not a private key"),
            (["--sign-cert", self.cert, "--sign-key", encrypted], "--sign-pass-file"),
            (["--sign-cert", self.cert, "--sign-key", encrypted, "--sign-pass-file", wrong_pass],
             "or not the passphrase in"),
            (["--sign-cert", self.cert, "--sign-key", encrypted, "--sign-pass-file", two_lines],
             "holds more than one line"),
            (["--sign-cert", self.cert, "--sign-key", self.dir + "/missing.key"],
             "cannot read signing key"),
            (["--sign-command", "signer {file}", "--sign-cert", self.cert, "--sign-key",
              self.key], "two ways to sign: give one"),
            (["--sign-command", " "], "names no command"),
            (["--sign-command", "signer file"], "does not name the installer to sign as {file}"),
            (["--sign-command", "signer 'open {file}"], "has a ' without its closing '"),
            (["--sign-command", 'signer "open {file}'], 'has a " without its closing "'),
            (["--sign-command", "signer {file} \\"], "ends in a backslash"),
            (["--sign-command", 'signer "$HOME" {file}'], "$ would be expanded by a shell"),
            (["--sign-command", "no-such-signer {file}"], "--sign-command: cannot find no-such"),
        ]
        cases += [(["--sign-command", f"signer {word} {{file}}"],
                   f": {next(c for c in word if c in '|&;<>()$`*?[#~')} means something to a "
                   "shell and no shell runs; quote it")
                  for word in ("a|b", "a&b", "a;b", "a>b", "a<b", "a(b", "a)b", "$HOME", "`id`",
                               "*.pem", "a?b", "[ab]", "#comment", "~/key")]
        # An archive just past what a PE32+ image can hold, as a sparse file: nothing is read.
        huge = os.path.join(self.dir, "huge.7z")
        with open(huge, "wb") as f:
            f.truncate(2 ** 31 - 0x10000)
        small = self.file("small.bin", b"x" * 100)

        def program(name, **shape):
            return self.file(name, packer_fixtures.program(b"setup", **shape))
        cases += [
            (["--resource", "B7", "HUGE", huge], "the installer would be an image of 2,147,"),
            (["--resource", "B7", "HUGE", huge], "at most 2,147,483,647 bytes"),
            (["--resource", "BL", "Setup.Exe", small], "cannot be named setup.exe"),
            (["--resource", "B7", "setup.exe", small], "cannot be named setup.exe"),
            # /proc files claim to be empty and then have bytes: known before a byte is written.
            (["--resource", "BN", "SETUP.GROWS", "/proc/self/status"],
             "says it is empty but has data"),
            (["--resource", "BN", "X", self.dir], "is a folder, not a regular file"),
            (["--resource", "BN", "X", self.dir + "/missing.bin"], "cannot read resource file"),
            (["--resource", "XD", "#12", small],
             "--resource name '#12' begins with '#': Windows reads such a name as a resource "
             "number"),
            (["--resource", "#x", "NAME", small], "--resource type '#x' begins with '#'"),
            (["--resource", "XD", "a" * 32767, small],
             "is 32767 UTF-16 units long; Windows finds names of at most 32766"),
            (["--resource", "XD", "a" * 70000, small], "is 70000 UTF-16 units long"),
            (["--resource", "XD", "\U0001F600" * 16384, small], "is 32768 UTF-16 units long"),
            (["--resource", "BN", "X", self.fifo], "resource file '%s' is a FIFO" % self.fifo),
            (["--resource", "BN", "X", self.socket], "is a socket, not a regular file"),
        ]
        # What the installer's own scan of its payload would stop at.
        bare = ["--archive", self.archive]
        cases += [
            (["--output", self.dir + "/x.exe"], "--output given twice"),
            (["--product-name", "--company", "X"],
             "--product-name needs a value, but the next argument '--company' is an option"),
            (["--resource", "BN", "--setup", small], "needs TYPE NAME FILE, but the next"),
            (["--previous-version", ""], "--previous-version is empty"),
            (["--previous-version", '3" --evil="1'], "holds a double quote"),
            (["--previous-version", "x" * 257], "is 257 UTF-16 units long; at most 256"),
            (["--previous-version", "3\n4"], "holds a control character"),
        ]
        payloads = [
            ([], "exit with 115 before setup runs: it holds no setup program"),
            (["--resource", "BN", "setup.exe", small, "--resource", "B7", "TAMREL.OTHER", small],
             "resource B7 'TAMREL.PACKED.7Z' is a second archive"),
            (["--setup", self.setup, "--resource", "BN", "setup.second", small],
             "resource BN 'SETUP.SECOND' is a second setup program"),
            (["--setup", self.setup, "--resource", "BN", "README", small],
             "exit with 115 before setup runs: resource BN 'README' is named neither"),
            (["--resource", "BN", "setup" + "x" * 255, small], "of 260 UTF-16 units or more"),
            (["--setup", self.setup, "--resource", "B7", "README", small],
             "exit with 112 before setup runs: resource B7 'README' is named neither"),
            # A setup program the installer could not start: its headers are all that is read.
            (["--setup", self.archive],
             f"--setup '{self.archive}' is not a Windows program: no MZ header"),
            (["--setup", program("library.dll", characteristics=0x2022)],
             "library.dll' is a DLL, not a program"),
            (["--setup", program("arm64.exe", machine=0xAA64)], "is for ARM64 (machine 0xAA64)"),
            (["--setup", program("far.dll", characteristics=0x2022, pe_offset=5000)],
             "far.dll' is a DLL, not a program"),
            (["--setup", program("mixed.exe", machine=0x14C, magic=0x20B)],
             "an x86 header with optional header magic 0x020B (it needs 0x010B)"),
            (["--resource", "BN", "setup.exe", small],
             "resource BN 'SETUP.EXE' is not a Windows program: no MZ header"),
        ]
        for args, fragment in payloads:
            with self.subTest(args=args):
                self.refused(bare + args, os.path.join(self.dir, "refused.exe"), fragment)
        self.refused(bare + ["--setup", self.archive], os.path.join(self.dir, "refused.exe"),
                     "is not a Windows program: no MZ header", windows=True)
        self.refused(["--setup", self.setup], os.path.join(self.dir, "refused.exe"),
                     "exit with 112 before setup runs: it holds no archive")
        for args, fragment in cases:
            with self.subTest(args=args):
                self.refused(self.product + args, os.path.join(self.dir, "refused.exe"),
                             fragment)
        for epoch in ("x", "-1", "1.5"):
            with self.subTest(epoch=epoch):
                self.refused(self.product, os.path.join(self.dir, "refused.exe"),
                             "is not a whole number of seconds", epoch=epoch)


class OutputTest(PackerTest):
    """--output is replaced only when it is an installer's to replace, the same on both builds."""

    def test_output_that_is_an_input_or_no_regular_file_is_refused(self):
        d = self.dir
        for name, target in (("hard.exe", self.setup), ("soft.exe", self.archive)):
            if not os.path.lexists(os.path.join(d, name)):
                (os.link if name == "hard.exe" else os.symlink)(target, os.path.join(d, name))
        icon = self.file("own.ico", packer_fixtures.icon_file(((16, 32, "bmp"),)))
        extra = self.file("extra.bin", b"x")
        readonly = self.file("readonly.exe", b"old")
        os.chmod(readonly, 0o444)
        windows_spelling = "Z:" + self.archive.replace("/", "\\")
        same = "is the same file as the "
        # (output as given, further arguments, fragment, which builds)
        both, linux, windows = (False, True), (False,), (True,)
        cases = [
            (self.archive, [], same + "archive", both),
            (f"{d}/./../{os.path.basename(d)}/product.7z", [], same + "archive", both),
            (windows_spelling, [], same + "archive", windows),
            (d + "/hard.exe", [], same + "setup program", both),
            (d + "/soft.exe", [], same + "archive", both),
            (icon, ["--icon", icon], same + "icon", both),
            (extra, ["--resource", "RAW", "X", extra], same + "resource file", both),
            (self.key, ["--sign-cert", self.cert, "--sign-key", self.key], same + "signing key",
             linux),
            (readonly, [], "is read-only: make it writable, or remove it", both),
            (self.fifo, [], "is a FIFO: only a regular file is replaced", linux),
            (self.socket, [], "is a socket: only a regular file is replaced", linux),
            (self.archive + "/x.exe", [], "output folder '%s' is not a folder" % self.archive,
             both),
            (d + "/missing/x.exe", [], "output folder '%s/missing' does not exist" % d, both),
        ]
        for output, args, fragment, builds in cases:
            for on_windows in builds:
                with self.subTest(output=output, windows=on_windows):
                    path = output if not output.startswith("Z:") else self.archive
                    self.refused(self.product + args, path if os.path.lexists(path) else
                                 os.path.join(d, "x.exe"), fragment, windows=on_windows,
                                 previous=False, output_arg=output)

    def test_new_installer_is_made_as_a_linker_makes_its_output(self):
        """Its mode is 0777 less the umask; a symbolic link at --output is replaced, never
        written through; a \\?\\ path works on Windows."""
        for umask, mode in ((0o022, 0o755), (0o027, 0o750), (0o077, 0o700)):
            with self.subTest(umask=oct(umask)):
                out = os.path.join(self.dir, "mode.exe")
                done = pack(["--output", out, *self.product],
                            preexec_fn=lambda: os.umask(umask))
                self.assertEqual(0, done.returncode, done.stderr)
                self.assertEqual(mode, os.stat(out).st_mode & 0o777)
        target = self.file("link-target.bin", b"kept")
        link = os.path.join(self.dir, "link.exe")
        os.symlink(target, link)
        expected = self.built(self.product, "plain-for-link.exe")
        self.assertEqual(expected, self.built(self.product, "link.exe"))
        self.assertFalse(os.path.islink(link))
        with open(target, "rb") as f:
            self.assertEqual(b"kept", f.read())
        long_form = "\\\\?\\Z:" + os.path.join(self.dir, "long-form.exe").replace("/", "\\")
        done = pack(["--output", long_form, *self.product], windows=True)
        self.assertEqual(0, done.returncode, done.stderr)
        with open(os.path.join(self.dir, "long-form.exe"), "rb") as f:
            self.assertEqual(expected, f.read())

    def test_standard_output_that_is_lost_is_an_error(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        with open("/dev/full", "w") as full:
            for label, stdout in (("full disk", full), ("closed pipe", write_end)):
                with self.subTest(label):
                    done = pack(["--version"], stdout=stdout)
                    self.assertEqual(2, done.returncode)
                    self.assertIn("cannot write to standard output", done.stderr)
        os.close(write_end)


class FaultTest(PackerTest):
    """Faults of the file system and the process while a pack runs: each is an error, exit 2,
    the old output untouched and nothing left, however long the folder's path."""

    def test_faults_while_writing(self):
        shim = os.path.join(self.dir, "fault_shim.so")
        subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim,
                        os.path.join(HERE, "fault_shim.c"), "-ldl"], check=True)
        big = self.file("big.7z", os.urandom(1 << 20))

        def fsize_limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 19, 1 << 19))

        def ignore_hup():
            signal.signal(signal.SIGHUP, signal.SIG_IGN)

        deep = self.dir
        while len(deep) < 1100:
            deep = os.path.join(deep, "f" * 200)
        os.makedirs(deep, exist_ok=True)
        interrupt = "/bin/sh -c 'kill -%s $PPID; sleep 1; exit 1' sh {file}"
        # (label, folder, arguments, environment, preexec, fragment, the killing signal, or
        # None for the same installer as without the fault)
        cases = [
            ("mmap fails", self.dir, [], {"PACK_FAULT": "mmap"}, None, None),
            ("close fails", self.dir, [], {"PACK_FAULT": "close"}, None,
             "(closing it): Input/output error"),
            ("fdatasync fails", self.dir, [], {"PACK_FAULT": "fdatasync"}, None,
             "(syncing it to the disk): Input/output error"),
            ("file-size limit", self.dir, ["--archive", big], {}, fsize_limit,
             "cannot write '%s/faulty.exe': File too large" % self.dir),
            ("SIGHUP ignored at start", self.dir, ["--sign-command", interrupt % "HUP"], {},
             ignore_hup, "--sign-command failed with exit code 1"),
            ("SIGHUP", self.dir, ["--sign-command", interrupt % "HUP"], {}, None, signal.SIGHUP),
            ("SIGINT, a 1,100-byte folder", deep, ["--sign-command", interrupt % "INT"], {}, None,
             signal.SIGINT),
        ]
        for label, folder, args, env, preexec, expected in cases:
            with self.subTest(label):
                output = os.path.join(folder, "faulty.exe")
                arguments = args + (["--setup", self.setup] if "--archive" in args
                                    else self.product)
                env = dict(env, LD_PRELOAD=shim) if env else None
                if expected is None:
                    unfaulted = self.built(arguments, "unfaulted.exe")
                    done = pack(["--output", output, *arguments], env_add=env)
                    self.assertEqual(0, done.returncode, done.stderr)
                    with open(output, "rb") as f:
                        self.assertEqual(unfaulted, f.read())
                    continue
                if isinstance(expected, str):
                    self.refused(arguments, output, expected, env_add=env, preexec_fn=preexec)
                    continue
                before = snapshot(folder)
                done = pack(["--output", output, *arguments], env_add=env, preexec_fn=preexec)
                self.assertEqual(-expected, done.returncode, done.stderr)
                self.assertEqual(before, snapshot(folder))


class SigningTest(PackerTest):
    def test_signature_covers_the_file(self):
        plain = self.built(self.product, "plain.exe")
        signed_path = os.path.join(self.dir, "signed.exe")
        signed = self.built(self.product + ["--sign-cert", self.cert, "--sign-key", self.key],
                            "signed.exe")
        self.assertEqual((0, 0), check_stub.read_pe(plain).directory(DIR_SECURITY))
        # The certificate table is appended after the last section; the resources the stub
        # reads are untouched.
        offset, size = check_stub.read_pe(signed).directory(DIR_SECURITY)
        self.assertEqual(len(signed), offset + size)
        self.assertEqual(len(plain), offset)
        self.assertEqual(check_stub.read_resources(plain), check_stub.read_resources(signed))

        status, report = verify(signed_path, self.cert)
        self.assertEqual(0, status, report)
        digests = re.findall(r"(?:Current|Calculated) message digest\s*:\s*(\S+)", report)
        self.assertEqual(2, len(digests), report)
        self.assertEqual(digests[0], digests[1])
        status, _ = verify(signed_path, self.other_cert)
        self.assertNotEqual(0, status, "verified against a certificate that did not sign it")

        archive_at = signed.index(ARCHIVE)
        cabinet_at = signed.index(b"MSCF")
        for label, at in (("archive", archive_at + 100), ("setup cabinet", cabinet_at + 60),
                          ("code", 0x1000 + 16)):
            with self.subTest(changed=label):
                tampered = bytearray(signed)
                tampered[at] ^= 1
                path = self.file("tampered.exe", bytes(tampered))
                status, report = verify(path, self.cert)
                self.assertNotEqual(0, status)
                self.assertIn("MISMATCH", report)

    def test_every_form_of_key_signs_as_osslsigncode_signs(self):
        """The packer signs itself: byte for byte what osslsigncode writes, for PEM and DER,
        encrypted keys, and a certificate file that holds more than the signer's."""
        unsigned = os.path.join(self.dir, "to-sign.exe")
        self.built(self.product, "to-sign.exe")
        der_cert, der_key = self.dir + "/signer.der", self.dir + "/signer.key.der"
        subprocess.run(["openssl", "x509", "-in", self.cert, "-outform", "DER", "-out", der_cert],
                       check=True)
        subprocess.run(["openssl", "pkey", "-in", self.key, "-outform", "DER", "-out", der_key],
                       check=True)
        chain = self.file("chain.pem", open(self.other_cert, "rb").read() +
                          open(self.cert, "rb").read())
        passphrase = self.file("right.pass", b"right\n")
        cases = [
            (self.cert, self.key, []),
            (der_cert, der_key, []),
            (chain, self.key, []),
            (self.cert, self.encrypted_key, ["--sign-pass-file", passphrase]),
            (self.cert, self.encrypted_key, ["--sign-pass-file", self.file("crlf.pass",
                                                                          b"right\r\n")]),
        ]
        for cert, key, more in cases:
            with self.subTest(cert=cert, key=key, more=more):
                expected = os.path.join(self.dir, "osslsigncode.exe")
                if os.path.exists(expected):
                    os.unlink(expected)
                plain_key = self.key if key == self.encrypted_key else key
                subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", plain_key, "-h",
                                "sha256", "-time", "315532800", "-in", unsigned, "-out", expected],
                               check=True, stdout=subprocess.DEVNULL)
                with open(expected, "rb") as f:
                    self.assertEqual(f.read(), self.built(self.product + [
                        "--sign-cert", cert, "--sign-key", key, *more]))

    def test_sign_command(self):
        """Signed in place as osslsigncode signs; failures refused; split as sh splits."""
        def signer(then=""):
            script = ('osslsigncode sign -certs "$0" -key "$1" -h sha256 -time 315532800 -in "$2" '
                      '-out "$2.signed" >/dev/null && /bin/mv "$2.signed" "$2"' + then)
            return f"/bin/sh -c {shlex.quote(script)} {self.cert} {self.key} {{file}}"
        expected = self.built(self.product + ["--sign-cert", self.cert, "--sign-key", self.key])
        os.makedirs(os.path.join(self.dir, "it's a folder"), exist_ok=True)
        self.assertEqual(expected, self.built(self.product + ["--sign-command", signer()],
                                              "it's a folder/out.exe"))

        windows = "Z:" + PACK + ".exe"
        fake_table = ("import struct, sys\nf = open(sys.argv[1], 'r+b'); end = f.seek(0, 2)\n"
                      "f.seek(0x3C); f.seek(struct.unpack('<I', f.read(4))[0] + 24 + 144)\n"
                      "f.write(struct.pack('<II', end, 16)); f.seek(end)\n"
                      "f.write(struct.pack('<IHH', 16, 0x200, 2) + bytes(8))")
        # A certificate table that takes the file past 2 GB (sparse: nothing is written).
        huge_table = ("import struct, sys\nf = open(sys.argv[1], 'r+b'); end = f.seek(0, 2)\n"
                      "size = 2 ** 31 - end + 8\n"
                      "f.seek(0x3C); f.seek(struct.unpack('<I', f.read(4))[0] + 24 + 144)\n"
                      "f.write(struct.pack('<II', end, size)); f.seek(end)\n"
                      "f.write(struct.pack('<IHH', size, 0x200, 2) + bytes(8) +\n"
                      "        bytes.fromhex('060A2B060104018237020104')); f.truncate(end + size)")
        report = "/bin/sh -c 'printf \"[%s]\" \"$@\" >&2; exit 1' sh "
        words = ["'single \"q\" \\' \"double 'q' \\\" \\\\ \\$ \\x\"", "a\\ b''c\"\"d '' x#y a~b",
                 "\tline\\\ncontinued {x}"]
        cases = [
            (signer(" && printf X | /bin/dd of=\"$2\" bs=1 seek=4112 conv=notrunc 2>/dev/null"),
             False, "changed the installer beyond adding a signature"),
            (f"{sys.executable} -c {shlex.quote(fake_table)} {{file}}", False,
             "left a certificate table that holds no Authenticode signature"),
            (f"{sys.executable} -c {shlex.quote(huge_table)} {{file}}", False,
             "the signed installer would be 2,147,483,656 bytes; Windows loads an executable "
             "file of at most 2,147,483,647 bytes"),
            ("/bin/sh -c 'echo first >&2; echo \"last words\" >&2; exit 1' sh {file}", False,
             "failed with exit code 1: last words"),
            ("/bin/sh -c 'echo signed, really; kill -9 $$' sh {file}", False,
             "failed with exit code 137 and wrote nothing to standard error"),
            ("/bin/sh -c 'echo signed, really' sh {file}", False, "signed nothing"),
            (f"{windows} --version {{file}}", True, "signed nothing"),
            (f"{windows} 'say \"hi\" C:\\dir\\' {{file}}", True,
             'exit code 2: tamrel-pack: unknown argument: \'say "hi" C:\\\\dir\\\\\''),
        ]
        cases += [(report + w + " {file}", False, "exit code 1: " + subprocess.run(
            ["/bin/sh", "-c", "printf '[%s]' " + w], stdout=subprocess.PIPE, text=True).stdout)
            for w in words]
        for template, on_windows, fragment in cases:
            with self.subTest(template=template):
                self.refused(self.product + ["--sign-command", template],
                             os.path.join(self.dir, "unsigned.exe"), fragment, windows=on_windows)

    def test_countersigned_by_a_time_stamping_server(self):
        """Over HTTP and HTTPS (its certificate trusted through $SSL_CERT_FILE, as the system's
        roots would trust a real server's), accepted by osslsigncode; refused when the server
        cannot be trusted, refuses, or is not there."""
        signing = ["--sign-cert", self.cert, "--sign-key", self.key]
        for tls in (False, True):
            folder = tempfile.mkdtemp(dir=self.dir)
            with self.subTest(tls=tls), packer_fixtures.TimeStampServer(folder, tls) as server:
                trust = {"SSL_CERT_FILE": server.tls_cert} if tls else {}
                out = os.path.join(self.dir, "stamped.exe")
                done = pack(["--output", out, *self.product, *signing, "--timestamp-url",
                             server.url], env_add=trust)
                self.assertEqual(0, done.returncode, done.stderr)
                report = subprocess.run(
                    ["osslsigncode", "verify", "-CAfile", self.cert, "-TSA-CAfile",
                     server.tsa_cert, "-in", out], stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT, text=True).stdout
                self.assertIn("Timestamp Server Signature verification: ok", report)
                self.assertIn("Signature verification: ok", report)
                refusals = [(server.url + "refuse", trust, "it answered 'HTTP/1.0 500")]
                if tls:
                    refusals.append((server.url, {}, "its certificate is not trusted"))
                for url, env, fragment in refusals:
                    self.refused(self.product + signing + ["--timestamp-url", url],
                                 os.path.join(self.dir, "unsigned.exe"), fragment, env_add=env)

    def test_failed_signing_leaves_no_installer(self):
        cases = [
            (["--sign-cert", self.cert, "--sign-key", self.other_key], "belongs to no certificate"),
            # A closed port on this machine: the countersignature cannot be had.
            (["--sign-cert", self.cert, "--sign-key", self.key, "--timestamp-url",
              "http://127.0.0.1:1/"], "signing failed"),
        ]
        cases.append((["--sign-cert", self.cert, "--sign-key", self.key],
                      "signing with a key file (--sign-cert, --sign-key) is done by the Linux "
                      "build; on Windows, sign with signtool through --sign-command"))
        for args, fragment in cases:
            with self.subTest(args=args):
                self.refused(self.product + args, os.path.join(self.dir, "unsigned.exe"), fragment,
                             windows="Linux build" in fragment)


class DatesTest(PackerTest):
    def test_cabinet_date_and_signing_time(self):
        cases = [
            (None, (1980, 1, 1, 0, 0, 0), "Jan  1 00:00:00 1980"),
            ("1700000000", (2023, 11, 14, 22, 13, 20), "Nov 14 22:13:20 2023"),
            ("0", (1980, 1, 1, 0, 0, 0), "Jan  1 00:00:00 1970"),
            ("5000000000", (2107, 12, 31, 23, 59, 58), None),
        ]
        signing = ["--sign-cert", self.cert, "--sign-key", self.key]
        for epoch, date, signing_time in cases:
            with self.subTest(epoch=epoch):
                data = self.built(self.product + signing, "dated.exe", epoch=epoch)
                cabinet = check_stub.find_resource(check_stub.read_resources(data), "BL",
                                                   "SETUP.EX_")
                first_file = struct.unpack_from("<I", cabinet, 16)[0]
                day, time = struct.unpack_from("<HH", cabinet, first_file + 10)
                self.assertEqual(date, ((day >> 9) + 1980, (day >> 5) & 15, day & 31, time >> 11,
                                        (time >> 5) & 63, (time & 31) * 2))
                if signing_time:
                    _, report = verify(os.path.join(self.dir, "dated.exe"), self.cert)
                    self.assertIn(f"Signing time: {signing_time} GMT", report)


class ReproducibleTest(PackerTest):
    """The same inputs, as other copies with other modification times, packed by the Linux and
    the Windows build, from another current folder, into another output path."""

    def test_same_inputs_same_bytes(self):
        icon = packer_fixtures.icon_file(((16, 32, "bmp"), (256, 32, "png")))
        folders = []
        for n, mtime in enumerate((1000000000, 2000000000)):
            folder = os.path.join(self.dir, f"copy{n}")
            os.makedirs(folder)
            for name, data in (("product.7z", ARCHIVE), ("setup.exe", SETUP), ("icon.ico", icon)):
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
                os.utime(os.path.join(folder, name), (mtime, mtime))
            for name in ("crt", "key"):
                shutil.copy(getattr(self, "cert" if name == "crt" else "key"),
                            os.path.join(folder, "signer." + name))
            folders.append(folder)

        branded = ["--product-name", "Kestrel Studio", "--product-version", "3.1", "--company",
                   "Kestrel", "--description", "Kestrel Studio setup ü 日本"]
        # (arguments, whether the Windows build packs it too: it has no signing tool under Wine)
        cases = [
            ([], True),
            (branded, True),
            (["--icon", "icon.ico"], True),
            (["--previous-version", "3.0", "--resource", "RAW", "extra", "icon.ico"], True),
            (["--sign-cert", "signer.crt", "--sign-key", "signer.key"], False),
        ]
        for args, both_builds in cases:
            with self.subTest(args=args):
                outputs = []
                for n, windows in enumerate((False, True) if both_builds else (False, False)):
                    out = f"repro{n}.exe"
                    done = pack(["--output", out, "--archive", "product.7z", "--setup",
                                 "setup.exe", *args], cwd=folders[n], windows=windows)
                    self.assertEqual(0, done.returncode, done.stderr)
                    with open(os.path.join(folders[n], out), "rb") as f:
                        outputs.append(f.read())
                self.assertEqual(outputs[0], outputs[1])


if __name__ == "__main__":
    unittest.main()
