#!/usr/bin/env python3
"""Checks docs/platform.md against the built stub and the test sources.

Usage: check_platform_table.py STUB.exe TABLE.md TESTS_DIR [--include-dir DIR]...
                               [--library-dir DIR]...

Every call the stub makes must have a row in a table whose first column is "Call":
- each function of the stub's import table;
- each library it loads at run time (a wide or narrow string ending in ".dll" in its data, other
  than the imported DLLs), and each function it looks up in a library its data names, imported
  or not (a string of its data that the library exports; the exports are read from Wine's copy,
  found in the library dirs; where Wine has no copy, every identifier of the data that no other
  named library exports counts as looked up in it);
- for a looked-up function declared in a header of the include dirs (fdi.h for the cabinet
  library), each callback parameter it takes, and, for a callback whose first parameter is an
  enumeration declared there (FDI's notification handler), each member of that enumeration.
A row whose call is none of these fails, as does a row that names no test, names a test that the
test sources do not define (`folder/file_test.cc: Suite.Name`, relative to TESTS_DIR), or is not
marked "real, under Wine" or "through the seam: <why>"; a seam row that speaks of Wine must also
name the Windows behaviour the code is written for.

Prints one line per check and "N passed, M failed"; exits 1 when a check fails.
"""
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
from check_stub import DIR_IMPORT, DIR_RESOURCE, PEError, read_imports, read_pe  # noqa: E402

USAGE = "\n".join(__doc__.strip().splitlines()[2:4])
DIR_EXPORT = 0
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000

DEFAULT_INCLUDE_DIRS = ["/usr/x86_64-w64-mingw32/include", "/usr/share/mingw-w64/include"]
DEFAULT_LIBRARY_DIRS = ["/usr/lib/x86_64-linux-gnu/wine/x86_64-windows",
                        "/usr/lib/wine/x86_64-windows", "/usr/lib64/wine/x86_64-windows"]
# The headers that declare what the stub may look up at run time, searched in the include dirs.
HEADERS = ["fdi.h"]

COLUMNS = ("Call", "Where", "Arguments that matter", "Behaviour relied on", "Test", "Proof")
REAL = "real, under wine"
SEAM = "through the seam"
TEST_REFERENCE = re.compile(r"`([\w./-]+\.cc):\s*(\w+)\.(\w+)`")
TEST_DEFINITION = re.compile(r"\bTEST(?:_F|_P)?\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)")


# --- What the stub calls ---------------------------------------------------------------------

def _data_sections(image):
    """Sections that hold neither code, nor the import table, nor resources."""
    skip = {image.directory(DIR_IMPORT)[0], image.directory(DIR_RESOURCE)[0]}
    for section in image.sections:
        if section.characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE):
            continue
        if any(rva and section.holds(rva) for rva in skip):
            continue
        yield image.data[section.raw_offset:section.raw_offset + section.raw_size]


def data_strings(data):
    """The terminated narrow and wide printable strings (of 3 characters or more) in bytes."""
    narrow = {m.decode("ascii") for m in re.findall(rb"([\x20-\x7e]{3,})\x00", data)}
    wide = set()
    for m in re.finditer(rb"((?:[\x20-\x7e]\x00){3,})\x00\x00", data):
        start = m.start()
        # A narrow string's last character and its terminator read as one wide character: a
        # wide string is preceded by a zero byte, never by a printable one.
        while start > 0 and 0x20 <= data[start - 1] <= 0x7e and m.end() - start > 8:
            start += 2
        wide.add(data[start:m.end() - 2].decode("utf-16-le"))
    return narrow, wide


def image_strings(image):
    """The strings of the image's data sections, as data_strings finds them."""
    narrow, wide = set(), set()
    for data in _data_sections(image):
        more_narrow, more_wide = data_strings(data)
        narrow |= more_narrow
        wide |= more_wide
    return narrow, wide


def read_exports(path):
    """The names a DLL exports."""
    image = read_pe(path)
    rva, _ = image.directory(DIR_EXPORT)
    if rva == 0:
        return set()
    # NumberOfNames at offset 24, AddressOfNames at 32: an array of RVAs of the names.
    count = struct.unpack("<I", image.read(rva + 24, 4))[0]
    names = struct.unpack("<I", image.read(rva + 32, 4))[0]
    return {image.c_string(struct.unpack("<I", image.read(names + 4 * i, 4))[0])
            for i in range(count)}


def find_file(name, directories):
    for directory in directories:
        try:
            entries = os.listdir(directory)
        except OSError:
            continue
        for entry in entries:
            if entry.lower() == name.lower():
                return os.path.join(directory, entry)
    return None


def attribute_lookups(narrow, exports):
    """{library: [functions looked up in it]} from the image's narrow strings and each named
    library's exports (None where they could not be read). An identifier that no readable library
    exports is taken as looked up in one whose exports are unknown, if there is one."""
    found = {library: sorted(narrow & names) for library, names in exports.items()
             if names is not None}
    unknown = sorted(library for library, names in exports.items() if names is None)
    if unknown:
        explained = {name for names in found.values() for name in names}
        found[" or ".join(unknown)] = sorted(
            s for s in narrow if re.fullmatch(r"[A-Za-z_]\w{2,}", s) and s not in explained)
    return found


def runtime_names(image, library_dirs):
    """({library: [functions looked up in it]}, [libraries loaded], notes) for every library the
    image names in its data: those it loads itself, and imported ones it takes a handle to."""
    narrow, wide = image_strings(image)
    libraries = sorted({re.split(r"[\\/]", text)[-1].lower() for text in narrow | wide
                        if text.lower().endswith(".dll")})
    exports, notes = {}, []
    for library in libraries:
        path = find_file(library, library_dirs)
        exports[library] = read_exports(path) if path else None
        notes.append(f"{library} exports read from {path}" if path else
                     f"{library} not found in {', '.join(library_dirs)}: an identifier in the "
                     "image's data that no other library named there exports is taken as "
                     "looked up in it")
    return attribute_lookups(narrow, exports), libraries, notes


def callback_names(functions, header_text):
    """The callback parameters of the functions the header declares, and the members of an
    enumeration that a callback takes first."""
    enums = {name: [m.strip() for m in body.split(",") if m.strip()]
             for body, name in re.findall(r"typedef\s+enum\s*\{([^}]*)\}\s*(\w+)\s*;", header_text)}
    callbacks = {name: params for name, params in re.findall(
        r"typedef\s+[\w\s\*]+?\(\s*(?:\w+\s+)?\*\s*(\w+)\s*\)\s*\(([^)]*)\)", header_text)}
    names = []
    for function in functions:
        match = re.search(r"\b%s\s*\(([^)]*)\)\s*;" % re.escape(function), header_text)
        if match is None:
            continue
        for parameter in match.group(1).split(","):
            words = parameter.split()
            if len(words) < 2 or words[0] not in callbacks:
                continue
            names.append(words[-1].lstrip("*"))
            first = callbacks[words[0]].split(",")[0].split()
            if first and first[0] in enums:
                names.extend(enums[first[0]])
    return names


def required_calls(stub_path, include_dirs, library_dirs):
    """({name: what it is}, notes)."""
    image = read_pe(stub_path)
    required = {}
    for dll, functions in read_imports(image).items():
        for function in functions:
            required[function] = f"imported from {dll}"
    lookups, libraries, notes = runtime_names(image, library_dirs)
    headers = [p for p in (find_file(h, include_dirs) for h in HEADERS) if p]
    header_text = "".join(open(p, encoding="latin-1").read() for p in headers)
    if lookups and not headers:
        notes.append(f"none of {', '.join(HEADERS)} found in {', '.join(include_dirs)}: "
                     "callbacks are not checked")
    imported = {dll.lower() for dll in read_imports(image)}
    for library in libraries:
        if library not in imported:
            required[library] = "loaded at run time"
    for library, functions in lookups.items():
        for function in functions:
            required.setdefault(function, f"looked up in {library}")
        for callback in callback_names(functions, header_text):
            required.setdefault(callback, f"callback of {library}")
    return required, notes


# --- The table ---------------------------------------------------------------------------------

def _cells(line):
    cells = re.split(r"(?<!\\)\|", line.strip())
    return [c.strip().replace("\\|", "|") for c in cells[1:-1]]


def parse_table(text):
    """[(line number, {column: cell})] for every row of every table headed by COLUMNS."""
    rows, header = [], None
    for number, line in enumerate(text.splitlines(), 1):
        if not line.lstrip().startswith("|"):
            header = None
            continue
        cells = _cells(line)
        if header is None:
            header = cells if cells and cells[0] == "Call" else []
            if header and tuple(header) != COLUMNS:
                rows.append((number, {"error": "columns are " + " | ".join(header) +
                                      "; expected " + " | ".join(COLUMNS)}))
                header = []
            continue
        if not header or all(re.fullmatch(r":?-+:?", c) for c in cells):
            continue
        if len(cells) != len(header):
            rows.append((number, {"error": f"{len(cells)} cells, expected {len(header)}"}))
            continue
        rows.append((number, dict(zip(header, cells))))
    return rows


def row_key(row):
    match = re.search(r"`([^`]+)`", row.get("Call", ""))
    return match.group(1) if match else None


_defined_tests = {}


def defined_tests(tests_dir, relative_path):
    """The (suite, name) pairs a test source defines; None when there is no such file."""
    path = os.path.normpath(os.path.join(tests_dir, relative_path))
    if path not in _defined_tests:
        try:
            with open(path, encoding="utf-8") as f:
                _defined_tests[path] = set(TEST_DEFINITION.findall(f.read()))
        except OSError:
            _defined_tests[path] = None
    return _defined_tests[path]


def row_problems(row, tests_dir):
    """What is wrong with one row, as text; empty when nothing is."""
    if "error" in row:
        return [row["error"]]
    problems = []
    if row_key(row) is None:
        problems.append("the Call cell names no call in backticks")
    references = TEST_REFERENCE.findall(row["Test"])
    if not references:
        problems.append("names no test as `folder/file_test.cc: Suite.Name`")
    for path, suite, name in references:
        tests = defined_tests(tests_dir, path)
        if tests is None:
            problems.append(f"test file {path} does not exist")
        elif (suite, name) not in tests:
            problems.append(f"{path} defines no test {suite}.{name}")
    proof = row["Proof"].lower()
    if proof.startswith(SEAM):
        reason = proof[len(SEAM):].lstrip(" :,")
        if len(reason) < 10:
            problems.append('"through the seam" without saying why')
        elif "wine" in reason and "windows" not in reason:
            problems.append("says how Wine differs but not what Windows does")
    elif not proof.startswith(REAL):
        problems.append('Proof is neither "real, under Wine" nor "through the seam: <why>"')
    return problems


def evaluate(required, table_text, tests_dir):
    """[(label, failures)] for the checks of the table against the required calls."""
    rows = parse_table(table_text)
    keys = {row_key(row) for _, row in rows}
    results = []
    for kind in ("imported from", "loaded at run time", "looked up in", "callback of"):
        names = sorted(n for n, what in required.items() if what.startswith(kind))
        label = {"imported from": "imported functions",
                 "loaded at run time": "libraries loaded at run time",
                 "looked up in": "functions looked up at run time",
                 "callback of": "callbacks and notifications"}[kind]
        missing = [f"{n} ({required[n]}) has no row" for n in names if n not in keys]
        results.append((f"{label}: {len(names)} with rows" if not missing else label, missing))
    stale = [f"line {number}: `{row_key(row)}` is not a call the stub makes"
             for number, row in rows if "error" not in row and row_key(row) is not None
             and row_key(row) not in required]
    results.append(("no rows for calls the stub does not make", stale))
    malformed = [f"line {number}: {problem}" for number, row in rows
                 for problem in row_problems(row, tests_dir)]
    real = sum(1 for _, row in rows if row.get("Proof", "").lower().startswith(REAL))
    results.append((f"{len(rows)} rows well formed ({real} real, under Wine; "
                    f"{len(rows) - real} through the seam), every test named exists", malformed))
    return results


def main(argv):
    positional, options = [], {"--include-dir": [], "--library-dir": []}
    i = 1
    while i < len(argv):
        if argv[i] in options and i + 1 < len(argv):
            options[argv[i]].append(argv[i + 1])
            i += 2
        elif argv[i].startswith("--"):
            print(USAGE, file=sys.stderr)
            return 2
        else:
            positional.append(argv[i])
            i += 1
    if len(positional) != 3:
        print(USAGE, file=sys.stderr)
        return 2
    stub, table, tests_dir = positional
    try:
        required, notes = required_calls(stub, options["--include-dir"] + DEFAULT_INCLUDE_DIRS,
                                         options["--library-dir"] + DEFAULT_LIBRARY_DIRS)
        with open(table, encoding="utf-8") as f:
            table_text = f.read()
    except (OSError, PEError, struct.error) as error:
        print(f"FAIL reading the stub or the table: {error}")
        print("0 passed, 1 failed")
        return 1
    for note in notes:
        print(f"note {note}")
    passed = failed = 0
    for label, failures in evaluate(required, table_text, tests_dir):
        if failures:
            failed += 1
            print(f"FAIL {label}:")
            for failure in failures:
                print(f"     {failure}")
        else:
            passed += 1
            print(f"ok   {label}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
