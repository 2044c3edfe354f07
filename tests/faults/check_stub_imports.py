#!/usr/bin/env python3
"""Checks that the built stub's import table binds, before any of its code runs, nothing that the
loader could take from beside the stub.

Usage: check_stub_imports.py STUB.exe

The loader binds imports (and the libraries they are forwarded to) while it maps the image,
searching the application's directory first for any library that is not a known DLL. The stub
therefore imports from KERNEL32 and ADVAPI32 alone, both known DLLs on every version its manifest
names, and none of the functions below, which it looks up at run time after restricting the
search (src/driver/system_library.h).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
from check_stub import read_imports  # noqa: E402

KNOWN_DLLS = {"kernel32.dll", "advapi32.dll"}
LOOKED_UP = {
    "SetDefaultDllDirectories": "Windows Vista and Windows 7 without the update that added it "
                                "lack it: an import would keep the stub from starting there",
    "CommandLineToArgvW": "SHELL32 and the libraries it needs, not all of them known DLLs, would "
                          "be bound before the stub runs",
    "SystemFunction036": "ADVAPI32 forwards it to CRYPTBASE.dll, not a known DLL, from Windows 7 "
                         "on",
}


def main():
    imports = read_imports(sys.argv[1])
    failures = []
    for dll, functions in imports.items():
        if dll.lower() not in KNOWN_DLLS:
            failures.append(f"imports {dll}: only {', '.join(sorted(KNOWN_DLLS))} may be imported")
        for function in functions:
            if function in LOOKED_UP:
                failures.append(f"imports {function} from {dll}: {LOOKED_UP[function]}")
    for failure in failures:
        print("FAIL " + failure)
    print(f"imports: {', '.join(imports)}; {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
