#!/usr/bin/env python3
"""Tests of check_platform_table.py: what makes the table fail, and what it finds in a stub.

Usage: check_platform_table_test.py [STUB.exe]   (with a stub, also what is found in it)
"""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_platform_table as checker  # noqa: E402

STUB = None

HEADER = ("| Call | Where | Arguments that matter | Behaviour relied on | Test | Proof |\n"
          "|---|---|---|---|---|---|\n")
GOOD_TEST = "`x/a_test.cc: Suite.Name`"


def row(call, test=GOOD_TEST, proof="real, under Wine"):
    return f"| `{call}` | here | `A \\| B` | it works | {test} | {proof} |\n"


FDI_HEADER = """
  typedef enum { fdintONE,fdintTWO } FDINOTIFICATIONTYPE;
  typedef void *(DIAMONDAPI *PFNALLOC)(ULONG cb);
  typedef INT_PTR (DIAMONDAPI *PFNFDINOTIFY)(FDINOTIFICATIONTYPE fdint,PFDINOTIFICATION pfdin);
  HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc,int cpuType,PERF perf);
  WINBOOL DIAMONDAPI FDICopy(HFDI hfdi,char *pszCabinet,PFNFDINOTIFY pfnfdin,void *pvUser);
  WINBOOL DIAMONDAPI FDIDestroy(HFDI hfdi);
"""


class TableTest(unittest.TestCase):
    def setUp(self):
        self.tests = tempfile.TemporaryDirectory()
        os.makedirs(os.path.join(self.tests.name, "x"))
        with open(os.path.join(self.tests.name, "x", "a_test.cc"), "w") as f:
            f.write("TEST(Suite, Name) {}\nTEST_F(Fixture, Other) {}\n")
        self.required = {"CreateFileW": "imported from KERNEL32.dll",
                         "cabinet.dll": "loaded at run time",
                         "FDICopy": "looked up in cabinet.dll",
                         "fdintONE": "callback of cabinet.dll"}
        self.complete = HEADER + "".join(row(name) for name in self.required)

    def tearDown(self):
        self.tests.cleanup()

    def failures(self, table):
        return [f for _, failures in checker.evaluate(self.required, table, self.tests.name)
                for f in failures]

    def test_complete_table_passes(self):
        self.assertEqual([], self.failures(self.complete))
        # A call may have several rows, and a row several tests.
        extra = row("CreateFileW", test=GOOD_TEST + ", `x/a_test.cc: Fixture.Other`",
                    proof="through the seam: the fault cannot be produced")
        self.assertEqual([], self.failures(self.complete + extra))

    def test_each_fault_fails(self):
        cases = [
            ("a call without a row", HEADER + row("CreateFileW"), "cabinet.dll"),
            ("a row for a call not made", self.complete + row("DeleteFileW"), "DeleteFileW"),
            ("no test", self.complete + row("CreateFileW", test="none"), "names no test"),
            ("a missing test file", self.complete + row("CreateFileW", test="`x/b_test.cc: S.N`"),
             "does not exist"),
            ("a test the file does not define",
             self.complete + row("CreateFileW", test="`x/a_test.cc: Suite.Other`"),
             "defines no test Suite.Other"),
            ("no proof mark", self.complete + row("CreateFileW", proof="tested"), "neither"),
            ("a seam without a reason",
             self.complete + row("CreateFileW", proof="through the seam"), "without saying why"),
            ("Wine's difference without Windows' behaviour",
             self.complete + row("CreateFileW", proof="through the seam: Wine keeps no ACLs"),
             "not what Windows does"),
            ("a row with a cell missing", self.complete + "| `CreateFileW` | here | a | b | c |\n",
             "5 cells"),
            ("other columns", "| Call | Test |\n|---|---|\n| `CreateFileW` | x |\n", "columns are"),
        ]
        for label, table, expected in cases:
            with self.subTest(label):
                failures = self.failures(table)
                self.assertTrue(any(expected in f for f in failures), failures)

    def test_strings_of_the_data(self):
        data = (b"\x00\x00FDICopy\x00SystemFunction036\x00" + "shell32.dll".encode("utf-16-le") +
                b"\x00\x00\x07\x00" + "cabinet.dll".encode("utf-16-le") + b"\x00\x00ab\x00")
        narrow, wide = checker.data_strings(data)
        self.assertEqual({"FDICopy", "SystemFunction036"}, narrow)
        self.assertEqual({"shell32.dll", "cabinet.dll"}, wide)

    def test_lookups_are_strings_a_named_library_exports(self):
        narrow = {"FDICopy", "Split", "0123456789ABCDEF", "setup.exe", "Other"}
        exports = {"cabinet.dll": {"FDICopy", "FDICreate"}, "shell32.dll": {"Split"}}
        self.assertEqual({"cabinet.dll": ["FDICopy"], "shell32.dll": ["Split"]},
                         checker.attribute_lookups(narrow, exports))
        # Where a library's exports are unknown, any other identifier may name one of them.
        exports["cryptbase.dll"] = None
        self.assertEqual(["Other"], checker.attribute_lookups(narrow, exports)["cryptbase.dll"])

    def test_callbacks_and_notifications_come_from_the_header(self):
        self.assertEqual(["pfnalloc", "pfnfdin", "fdintONE", "fdintTWO"],
                         checker.callback_names(["FDICreate", "FDICopy", "FDIDestroy"], FDI_HEADER))
        self.assertEqual([], checker.callback_names(["FDIDestroy", "Other"], FDI_HEADER))

    def test_finds_what_the_built_stub_calls(self):
        if not STUB:
            self.skipTest("no stub given")
        required, _ = checker.required_calls(STUB, checker.DEFAULT_INCLUDE_DIRS,
                                             checker.DEFAULT_LIBRARY_DIRS)
        for name, what in [("CreateFileW", "imported from KERNEL32.dll"),
                           ("cabinet.dll", "loaded at run time"),
                           ("FDICreate", "looked up in cabinet.dll"),
                           ("FDICopy", "looked up in cabinet.dll"),
                           ("FDIDestroy", "looked up in cabinet.dll"),
                           ("pfnopen", "callback of cabinet.dll"),
                           ("fdintCLOSE_FILE_INFO", "callback of cabinet.dll")]:
            self.assertEqual(what, required.get(name), name)
        # Imported or looked up, the command line is split by the system.
        self.assertIn("CommandLineToArgvW", required)
        # The stub's other strings (switches, registry names) are not taken for calls.
        self.assertNotIn("UninstallString", required)


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        STUB = sys.argv.pop(1)
    unittest.main()
