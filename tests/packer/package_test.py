#!/usr/bin/env python3
"""The packages scripts/package makes, used with nothing else installed: the .deb's tamrel-pack,
extracted into a scratch root and run with an empty PATH, makes an installer that runs under Wine;
the zip's tamrel-pack.exe makes the same bytes under Wine."""
import os
import pathlib
import subprocess
import unittest
import zipfile

from make_installer_test import BUILD, ROOT, WINE, PackerTest


class PackageTest(PackerTest):
    def run_in(self, command, **env):
        done = subprocess.run(command, env=env or dict(os.environ, STUB_BUILD_DIR=BUILD),
                              cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True)
        return done.returncode, done.stdout + done.stderr

    def test_packages_work_with_nothing_else_installed(self):
        version = pathlib.Path(ROOT, "VERSION").read_text().strip()
        deb, top = f"tamrel-pack_{version}_amd64.deb", f"tamrel-pack-{version}-windows-x64"
        self.assertEqual((0, f"dist/{deb}\ndist/{top}.zip\n"),
                         self.run_in([os.path.join(ROOT, "scripts", "package"), "dist"]))
        self.assertRegex(self.run_in(["dpkg-deb", "-f", "dist/" + deb, "Depends", "Recommends"])[1],
                         r"^Depends: libc6 \(>= [0-9.]+\)\nRecommends: osslsigncode\b")
        self.run_in(["dpkg-deb", "-x", "dist/" + deb, "root"])
        root = os.path.join(self.dir, "root")
        self.assertEqual(["usr/bin/tamrel-pack", "usr/share/doc/tamrel-pack/copyright",
                          "usr/share/doc/tamrel-pack/packaging.md",
                          "usr/share/man/man1/tamrel-pack.1.gz"],
                         sorted(os.path.relpath(os.path.join(d, n), root)
                                for d, _, names in os.walk(root) for n in names))
        with zipfile.ZipFile(os.path.join(self.dir, "dist", top + ".zip")) as z:
            self.assertEqual([f"{top}/{n}" for n in ("tamrel-pack.exe", "packaging.md",
                                                     "README.txt", "LICENSE.txt")],
                             z.namelist())
            z.extractall(self.dir)

        linux = os.path.join(root, "usr/bin/tamrel-pack")
        self.assertEqual((0, f"tamrel-pack {version}\n"),
                         self.run_in([linux, "--version"], PATH=""))
        product = ["--archive", self.archive, "--setup",
                   os.path.join(BUILD, "tests", "fake_setup.exe")]
        self.assertEqual((0, ""), self.run_in([linux, "--quiet", "--output", "deb.exe", *product],
                                              PATH=""))
        # The manual page as man shows it, every section there.
        manual = subprocess.run(["man", "-l", os.path.join(root, "usr/share/man/man1/tamrel-pack.1.gz")],
                                env=dict(os.environ, MANWIDTH="100"), capture_output=True, text=True)
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "SUBCOMMANDS", "EXIT STATUS",
                        "ENVIRONMENT", "EXAMPLES", "SEE ALSO"):
            self.assertRegex(manual.stdout, "(?m)^" + section + "$")
        self.assertEqual(0, self.run_in([WINE, f"{top}/tamrel-pack.exe", "--output", "zip.exe",
                                         *product])[0])
        with open(os.path.join(self.dir, "deb.exe"), "rb") as a, \
                open(os.path.join(self.dir, "zip.exe"), "rb") as b:
            self.assertTrue(a.read() == b.read(), "the two packages' programs differ")

        report = os.path.join(self.dir, "report.txt")
        self.assertEqual(7, self.run_in([WINE, "deb.exe", "a b"], **dict(
            os.environ, STUB_BUILD_DIR=BUILD, FAKE_SETUP_EXIT_CODE="7",
            FAKE_SETUP_REPORT="Z:" + report))[0])
        self.assertIn('TAMREL.PACKED.7Z" "a b"', pathlib.Path(report).read_text())


if __name__ == "__main__":
    unittest.main()
