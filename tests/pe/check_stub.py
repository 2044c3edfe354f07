#!/usr/bin/env python3
"""Checks a built stub (or a packed installer made from one) as a PE file.

Usage: check_stub.py STUB.exe [--payload] [--stub=LINKED.exe] [--list-imports] [--list-resources]

Prints one line per check and a final "N passed, M failed"; exits 1 when any check fails.
--payload also requires resources beyond the stub's own icon, manifest and version block,
as a packed installer carries, in a read-only section. --stub=LINKED.exe requires the base
relocations to be exactly the linked stub's own blocks, wherever the packer moved them.

The readers below (read_pe, read_imports, read_resources, read_version_info,
read_version_strings) are meant to be imported by other tests; they take a path or the
file's bytes and raise PEError on a malformed file.
"""
import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
RESOURCE_TYPE_NAMES = {1: "RT_CURSOR", 2: "RT_BITMAP", RT_ICON: "RT_ICON", 4: "RT_MENU",
                       5: "RT_DIALOG", 6: "RT_STRING", 10: "RT_RCDATA", 12: "RT_GROUP_CURSOR",
                       RT_GROUP_ICON: "RT_GROUP_ICON", RT_VERSION: "RT_VERSION",
                       RT_MANIFEST: "RT_MANIFEST"}
STUB_RESOURCE_TYPES = {RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST}

ICON_GROUP_ID = 107
# (width, bits per pixel) of every image in the icon group; 256 is stored as width byte 0.
ICON_IMAGES = sorted([(size, bpp) for size in (16, 32, 48) for bpp in (4, 8, 32)] + [(256, 32)])
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll"}
SUPPORTED_OS_IDS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
MAX_VERSION_TESTED = "10.0.18362.0"
VERSION_KEYS = ("CompanyName", "FileDescription", "FileVersion", "InternalName",
                "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion")

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
READ_ONLY_DATA = 0x40000040  # initialised data, readable, as resource compilers write .rsrc
DYNAMIC_BASE = 0x0040
DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_TLS, DIR_DELAY_IMPORT = 1, 2, 5, 9, 13
# The base relocation types of an x64 image: padding to a block's 4-byte end, and a 64-bit address.
REL_BASED_ABSOLUTE, REL_BASED_DIR64 = 0, 10


class PEError(Exception):
    pass


class Section:
    def __init__(self, raw):
        name, self.virtual_size, self.rva, self.raw_size, self.raw_offset = \
            struct.unpack_from("<8sIIII", raw)
        self.characteristics = struct.unpack_from("<I", raw, 36)[0]
        self.name = name.rstrip(b"\0").decode("latin-1")

    @property
    def extent(self):
        return self.virtual_size or self.raw_size

    def holds(self, rva):
        return self.rva <= rva < self.rva + self.extent


class PEImage:
    """The headers of a PE file and RVA-based access to its mapped contents."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PEError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PEError("no PE signature at e_lfanew")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        if self.magic not in (0x10B, 0x20B):
            raise PEError(f"unknown optional header magic {self.magic:#x}")
        self.entry_point = struct.unpack_from("<I", data, opt + 16)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        self.image_size = struct.unpack_from("<I", data, opt + 56)[0]
        self.image_base = struct.unpack_from("<Q" if self.magic == 0x20B else "<I", data,
                                             opt + (24 if self.magic == 0x20B else 28))[0]
        # PE32+ widens ImageBase and the four stack/heap fields, moving the directories.
        dirs = opt + (112 if self.magic == 0x20B else 96)
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i)
                            for i in range(min(count, 16))]
        table = opt + optional_size
        self.sections = [Section(data[table + 40 * i:table + 40 * (i + 1)])
                         for i in range(sections)]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def section_at(self, rva):
        return next((s for s in self.sections if s.holds(rva)), None)

    def read(self, rva, size):
        section = self.section_at(rva)
        if section is None:
            raise PEError(f"RVA {rva:#x} lies in no section")
        start = rva - section.rva
        if start + size > section.extent:
            raise PEError(f"{size} bytes at RVA {rva:#x} run past section {section.name}")
        # Bytes past the raw data but inside the virtual size are zero-filled by the loader.
        raw = self.data[section.raw_offset + start:
                        section.raw_offset + min(start + size, section.raw_size)]
        return raw + b"\0" * (size - len(raw))

    def c_string(self, rva, limit=512):
        section = self.section_at(rva)
        if section is None:
            raise PEError(f"string RVA {rva:#x} lies in no section")
        text = self.read(rva, min(limit, section.rva + section.extent - rva))
        if b"\0" not in text:
            raise PEError(f"unterminated string at RVA {rva:#x}")
        return text.split(b"\0", 1)[0].decode("latin-1")


def read_pe(source):
    """A PEImage from a path or from the file's bytes."""
    if isinstance(source, PEImage):
        return source
    if isinstance(source, (bytes, bytearray)):
        return PEImage(bytes(source))
    with open(source, "rb") as f:
        return PEImage(f.read())


def _thunk_names(image, rva):
    wide = image.magic == 0x20B
    size, ordinal_flag = (8, 1 << 63) if wide else (4, 1 << 31)
    names = []
    while True:
        value = int.from_bytes(image.read(rva, size), "little")
        if value == 0:
            return names
        names.append(f"#{value & 0xFFFF}" if value & ordinal_flag
                     else image.c_string((value & 0x7FFFFFFF) + 2))
        rva += size


def read_imports(source):
    """{dll name: [function names]} over the import and delay-import tables."""
    image = read_pe(source)
    imports = {}
    rva, size = image.directory(DIR_IMPORT)
    # Both tables end at an all-zero descriptor; their directory sizes are not always exact.
    rva = image.directory(DIR_IMPORT)[0]
    while rva:
        lookup, _, _, name, address = struct.unpack("<IIIII", image.read(rva, 20))
        if name == 0 and address == 0:
            break
        imports.setdefault(image.c_string(name), []).extend(
            _thunk_names(image, lookup or address))
        rva += 20
    rva = image.directory(DIR_DELAY_IMPORT)[0]
    while rva:
        _, name, _, _, names, *_ = struct.unpack("<IIIIIIII", image.read(rva, 32))
        if name == 0:
            break
        imports.setdefault(image.c_string(name), []).extend(_thunk_names(image, names))
        rva += 32
    return imports


def read_resources(source):
    """{(type, name, language): bytes}; ids are ints, named entries are strs."""
    image = read_pe(source)
    root, size = image.directory(DIR_RESOURCE)
    if root == 0:
        return {}
    seen = set()

    def entries(offset):
        if offset in seen:
            raise PEError(f"resource directory at {offset:#x} is reached twice")
        seen.add(offset)
        named, ids = struct.unpack("<HH", image.read(root + offset + 12, 4))
        for i in range(named + ids):
            name, target = struct.unpack("<II", image.read(root + offset + 16 + 8 * i, 8))
            if name & 0x80000000:
                at = root + (name & 0x7FFFFFFF)
                length = struct.unpack("<H", image.read(at, 2))[0]
                name = image.read(at + 2, 2 * length).decode("utf-16-le")
            yield name, target

    resources = {}
    for kind, kind_target in entries(0):
        if not kind_target & 0x80000000:
            raise PEError(f"resource type {kind!r} is a leaf, not a directory")
        for name, name_target in entries(kind_target & 0x7FFFFFFF):
            if not name_target & 0x80000000:
                raise PEError(f"resource {kind!r}/{name!r} is a leaf, not a directory")
            for lang, leaf in entries(name_target & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise PEError(f"resource {kind!r}/{name!r}/{lang!r} nests too deep")
                data_rva, data_size = struct.unpack("<II", image.read(root + leaf, 8))
                resources[(kind, name, lang)] = image.read(data_rva, data_size)
    return resources


def read_relocations(source):
    """[(page RVA, [(type, offset in the page)])] of the base relocation blocks, in order."""
    image = read_pe(source)
    rva, size = image.directory(DIR_BASERELOC)
    blocks, at = [], 0
    while at < size:
        page, length = struct.unpack("<II", image.read(rva + at, 8))
        if length < 8 or length % 4 or at + length > size:
            raise PEError(f"relocation block at {rva + at:#x} has length {length}, "
                          f"{size - at} bytes left in the directory")
        words = struct.unpack(f"<{(length - 8) // 2}H", image.read(rva + at + 8, length - 8))
        blocks.append((page, [(word >> 12, word & 0xFFF) for word in words]))
        at += length
    return blocks


def resource_order(key):
    """Sort key for resource keys: ids in numeric order, then names."""
    return tuple((1, part) if isinstance(part, str) else (0, str(part).zfill(5)) for part in key)


def find_resource(resources, kind, name):
    """The data of resource kind/name in its lowest-numbered language, or None."""
    return next((resources[key] for key in sorted(resources, key=resource_order)
                 if key[:2] == (kind, name)), None)


def _align4(value):
    return (value + 3) & ~3


class _VersionNode:
    """One length-prefixed node of a version resource: key, value and children."""

    def __init__(self, data, pos):
        self.data = data
        length, self.value_length, self.text = struct.unpack_from("<HHH", data, pos)
        if length < 6 or pos + length > len(data):
            raise PEError(f"version node at {pos:#x} has bad length {length}")
        self.end = pos + length
        key_end = pos + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= self.end:
                raise PEError(f"version node at {pos:#x} has an unterminated key")
        self.key = data[pos + 6:key_end].decode("utf-16-le")
        self.value_pos = _align4(key_end + 2)
        value_size = self.value_length * (2 if self.text else 1)
        self.children_pos = _align4(self.value_pos + value_size)

    def children(self):
        pos = self.children_pos
        while pos + 6 <= self.end:
            child = _VersionNode(self.data, pos)
            yield child
            pos = _align4(child.end)

    def binary(self):
        return self.data[self.value_pos:self.value_pos + self.value_length]

    def string(self):
        # Compilers disagree on whether a string's length counts characters or bytes, so
        # the value is read to the node's end and cut at its terminator.
        raw = self.data[self.value_pos:self.end]
        return raw[:len(raw) & ~1].decode("utf-16-le").split("\0", 1)[0]


def parse_version_info(data):
    """{"file_version", "product_version": 4-tuples, "strings": {table: {key: value}},
    "translations": [(language, codepage)]} from an RT_VERSION resource's bytes."""
    root = _VersionNode(data, 0)
    if root.key != "VS_VERSION_INFO":
        raise PEError(f"version resource starts with key {root.key!r}")
    fixed = struct.unpack("<13I", root.binary().ljust(52, b"\0"))
    if fixed[0] != 0xFEEF04BD:
        raise PEError("version resource has no VS_FIXEDFILEINFO signature")

    def quad(ms, ls):
        return ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF

    info = {"file_version": quad(fixed[2], fixed[3]),
            "product_version": quad(fixed[4], fixed[5]),
            "strings": {}, "translations": []}
    for block in root.children():
        if block.key == "StringFileInfo":
            for table in block.children():
                info["strings"][table.key] = {s.key: s.string() for s in table.children()}
        elif block.key == "VarFileInfo":
            for var in block.children():
                if var.key == "Translation":
                    raw = var.binary()
                    info["translations"] += [struct.unpack_from("<HH", raw, i)
                                             for i in range(0, len(raw) - 3, 4)]
    return info


def read_version_info(source):
    data = find_resource(read_resources(source), RT_VERSION, 1)
    if data is None:
        raise PEError("no VS_VERSION_INFO resource")
    return parse_version_info(data)


def read_version_strings(source):
    """The StringFileInfo values as one dict; the first table wins on a repeated key."""
    merged = {}
    for table in read_version_info(source)["strings"].values():
        for key, value in table.items():
            merged.setdefault(key, value)
    return merged


class CheckFailed(Exception):
    pass


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


def check_format(image):
    require(image.magic == 0x20B, f"optional header magic {image.magic:#x}, not PE32+ (0x20b)")
    require(image.machine == 0x8664, f"machine {image.machine:#x}, not x64 (0x8664)")
    return "PE32+ for x64"


def check_subsystem(image):
    require(image.subsystem == 2, f"subsystem {image.subsystem}, not Windows GUI (2)")
    return "Windows GUI"


def check_entry_point(image):
    require(image.entry_point != 0, "entry point is zero")
    section = image.section_at(image.entry_point)
    require(section is not None, f"entry point {image.entry_point:#x} lies in no section")
    require(section.characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE),
            f"entry point {image.entry_point:#x} lies in non-code section {section.name}")
    return f"{image.entry_point:#x} in {section.name}"


def check_imports(image):
    dlls = list(read_imports(image))
    extra = [d for d in dlls if d.lower() not in ALLOWED_DLLS]
    require(not extra, "imports DLLs beyond KERNEL32, ADVAPI32 and SHELL32: " + ", ".join(extra))
    require("kernel32.dll" in (d.lower() for d in dlls), "does not import KERNEL32.dll")
    return ", ".join(dlls)


def check_no_tls(image):
    rva, size = image.directory(DIR_TLS)
    require(rva == 0 and size == 0, f"has a TLS directory at {rva:#x} ({size} bytes)")
    return "no TLS directory"


def check_icon_group(image):
    resources = read_resources(image)
    group = find_resource(resources, RT_GROUP_ICON, ICON_GROUP_ID)
    require(group is not None, f"no RT_GROUP_ICON {ICON_GROUP_ID}")
    require(len(group) >= 6, "icon group directory is truncated")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    require(reserved == 0 and kind == 1, "icon group header is not an icon directory")
    require(len(group) >= 6 + 14 * count, "icon group directory is truncated")
    found = []
    for i in range(count):
        width, height, colours, _, _, bpp, size, icon_id = \
            struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        pixels = width or 256
        found.append((pixels, bpp))
        label = f"{pixels}px {bpp}bpp (RT_ICON {icon_id})"
        require(height == width, f"{label}: height byte {height} differs from width byte {width}")
        require(colours == (16 if bpp == 4 else 0), f"{label}: colour count {colours}")
        image_data = find_resource(resources, RT_ICON, icon_id)
        require(image_data is not None, f"{label}: the RT_ICON resource is missing")
        require(len(image_data) == size, f"{label}: {len(image_data)} bytes, group says {size}")
        if pixels == 256:
            require(image_data.startswith(PNG_SIGNATURE), f"{label}: not a PNG image")
            require(image_data[12:16] == b"IHDR" and
                    struct.unpack_from(">IIBB", image_data, 16) == (256, 256, 8, 6),
                    f"{label}: PNG header is not 256x256 8-bit RGBA")
        else:
            require(len(image_data) >= 40, f"{label}: truncated bitmap header")
            header, dib_width, dib_height, _, dib_bpp = struct.unpack_from("<IiiHH", image_data)
            require((header, dib_width, dib_height, dib_bpp) == (40, pixels, 2 * pixels, bpp),
                    f"{label}: bitmap header says {dib_width}x{dib_height // 2} at {dib_bpp}bpp")
    require(sorted(found) == ICON_IMAGES,
            "images " + ", ".join(f"{w}px/{b}bpp" for w, b in sorted(found)) +
            "; expected " + ", ".join(f"{w}px/{b}bpp" for w, b in ICON_IMAGES))
    return f"group {ICON_GROUP_ID} with {count} images"


def _local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(image):
    data = find_resource(read_resources(image), RT_MANIFEST, 1)
    require(data is not None, "no RT_MANIFEST resource with id 1")
    try:
        # The loader refuses to start an exe whose manifest is not well-formed XML.
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        raise CheckFailed(f"manifest is not well-formed XML: {error}")
    elements = list(root.iter())

    def having(tag, **attributes):
        return [e for e in elements if _local(e.tag) == tag and
                all(e.get(k) == v for k, v in attributes.items())]

    require(having("requestedExecutionLevel", level="asInvoker", uiAccess="false"),
            'no requestedExecutionLevel level="asInvoker" uiAccess="false"')
    require(having("assemblyIdentity", name="Microsoft.Windows.Common-Controls",
                   version="6.0.0.0", publicKeyToken="6595b64144ccf1df"),
            "no dependency on Microsoft.Windows.Common-Controls 6.0.0.0")
    listed = {(e.get("Id") or "").lower() for e in having("supportedOS")}
    missing = sorted(SUPPORTED_OS_IDS - listed)
    require(not missing, "supportedOS ids missing: " + ", ".join(missing))
    require(having("maxversiontested", Id=MAX_VERSION_TESTED),
            f'no maxversiontested Id="{MAX_VERSION_TESTED}"')
    return "asInvoker, common controls 6, five supported releases"


def check_version(image):
    info = read_version_info(image)
    strings = read_version_strings(image)
    missing = [k for k in VERSION_KEYS if not strings.get(k)]
    require(not missing, "version strings missing or empty: " + ", ".join(missing))
    require((0x0409, 1200) in info["translations"], "no Translation 0x0409, 1200")
    return f'{strings["ProductName"]} {strings["ProductVersion"]}'


def check_payload(image):
    extra = {(kind, name) for kind, name, _ in read_resources(image)
             if kind not in STUB_RESOURCE_TYPES}
    require(extra, "no resources beyond the stub's own icon, manifest and version block")
    return f"{len(extra)} more resources"


def check_resource_section(image):
    rva, _ = image.directory(DIR_RESOURCE)
    section = image.section_at(rva)
    require(section is not None and section.rva == rva,
            f"resource directory {rva:#x} does not start a section")
    # Every writable page of an image is charged to the commit limit while it runs.
    require(section.characteristics == READ_ONLY_DATA,
            f"{section.name} characteristics {section.characteristics:#x}, not read-only "
            f"initialised data ({READ_ONLY_DATA:#x})")
    return f"{section.name} read-only, {section.virtual_size} bytes"


def check_relocations(image):
    """Blocks the loader can apply at any base: each names a page of a section, each entry is
    padding or a 64-bit address inside that section, and that address points into the image."""
    rva, size = image.directory(DIR_BASERELOC)
    if not image.dll_characteristics & DYNAMIC_BASE:
        return "none needed (fixed base)" if size == 0 else f"{size} bytes, fixed base"
    require(rva != 0 and size != 0, "a DYNAMIC_BASE image without base relocations")
    fixups = 0
    for page, entries in read_relocations(image):
        section = image.section_at(page)
        require(section is not None and not section.holds(rva),
                f"relocation block for page {page:#x} names "
                + ("the relocations' own section" if section else "no section"))
        for kind, offset in entries:
            target = page + offset
            require(kind in (REL_BASED_ABSOLUTE, REL_BASED_DIR64),
                    f"entry type {kind} at {target:#x}: not a relocation of an x64 image")
            if kind == REL_BASED_ABSOLUTE:
                continue
            require(section.holds(target) and section.holds(target + 7),
                    f"fixup at {target:#x} runs past section {section.name}")
            value = struct.unpack("<Q", image.read(target, 8))[0]
            require(image.image_base <= value < image.image_base + image.image_size,
                    f"fixup at {target:#x} holds {value:#x}, outside the image")
            fixups += 1
    return f"{fixups} fixups at {rva:#x}"


def relocations_of(linked_path):
    """The check that the image's relocations are the linked stub's blocks, moved as they are."""
    def check_same_relocations(image):
        linked = read_pe(linked_path)
        rva, size = image.directory(DIR_BASERELOC)
        linked_rva, linked_size = linked.directory(DIR_BASERELOC)
        require(size == linked_size, f"directory of {size} bytes, the stub's has {linked_size}")
        section, linked_section = image.section_at(rva), linked.section_at(linked_rva)
        require(section is not None and section.rva == rva and
                section.virtual_size == linked_section.virtual_size,
                f"directory {rva:#x} is not a section the size of the stub's {linked_section.name}")
        require(image.read(rva, section.virtual_size) ==
                linked.read(linked_rva, linked_section.virtual_size),
                f"section {section.name} at {rva:#x} differs from the stub's blocks")
        # Every page a block names keeps its RVA, so the same fixups find the same addresses.
        for page, entries in read_relocations(linked):
            for kind, offset in entries:
                if kind == REL_BASED_DIR64:
                    require(image.read(page + offset, 8) == linked.read(page + offset, 8),
                            f"fixup at {page + offset:#x} holds another address than the stub's")
        return f"the stub's {size} bytes, moved from {linked_rva:#x} to {rva:#x}"
    return check_same_relocations


def check_resource_layout(image):
    """Every directory as Windows' lookup searches it: named entries first, in ascending order of
    their UTF-16 units and stored in upper case, then ids ascending; data entries on four-byte
    and data on eight-byte boundaries."""
    root, _ = image.directory(DIR_RESOURCE)
    pending, directories, leaves = [0], 0, 0
    while pending:
        offset = pending.pop()
        directories += 1
        named, ids = struct.unpack("<HH", image.read(root + offset + 12, 4))
        keys = []
        for i in range(named + ids):
            name, target = struct.unpack("<II", image.read(root + offset + 16 + 8 * i, 8))
            is_name = bool(name & 0x80000000)
            require(is_name == (i < named), f"directory {offset:#x}: entry {i} is named "
                    f"{'after' if is_name else 'among'} the named entries")
            if is_name:
                at = root + (name & 0x7FFFFFFF)
                length = struct.unpack("<H", image.read(at, 2))[0]
                units = struct.unpack(f"<{length}H", image.read(at + 2, 2 * length))
                text = bytes(image.read(at + 2, 2 * length)).decode("utf-16-le", "surrogatepass")
                require(text == "".join(c.upper() if len(c.upper()) == 1 else c for c in text),
                        f"resource name {text!r} is not in upper case")
                keys.append((0, units))
            else:
                keys.append((1, (name,)))
            if target & 0x80000000:
                pending.append(target & 0x7FFFFFFF)
            else:
                leaves += 1
                require((target % 4) == 0, f"data entry at {target:#x} is not 4-byte aligned")
                data_rva = struct.unpack("<I", image.read(root + target, 4))[0]
                require(data_rva % 8 == 0, f"data at {data_rva:#x} is not 8-byte aligned")
        require(all(a < b for a, b in zip(keys, keys[1:])),
                f"directory {offset:#x}: entries out of order")
    return f"{directories} directories, {leaves} resources in lookup order"


def pe_checksum(data):
    """(the CheckSum field's offset, the checksum the file's bytes give)."""
    at = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    words = bytearray(data)
    words[at:at + 4] = bytes(4)
    words += bytes(len(words) % 2)
    total = sum(struct.unpack(f"<{len(words) // 2}H", words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return at, total + len(data)


def check_checksum(image):
    """The optional header's CheckSum: none (zero) or the right one."""
    at, computed = pe_checksum(image.data)
    stored = struct.unpack_from("<I", image.data, at)[0]
    if stored == 0:
        return "none"
    require(stored == computed, f"stored {stored:#x}, computed {computed:#x}")
    return f"{stored:#x}"


CHECKS = [("format", check_format), ("subsystem", check_subsystem),
          ("entry point", check_entry_point), ("imports", check_imports),
          ("TLS", check_no_tls), ("icon", check_icon_group), ("manifest", check_manifest),
          ("version", check_version), ("resource layout", check_resource_layout),
          ("checksum", check_checksum), ("relocations", check_relocations)]


def _type_label(kind):
    return RESOURCE_TYPE_NAMES.get(kind, str(kind)) if isinstance(kind, int) else repr(kind)


def main(argv):
    options = {a for a in argv[1:] if a.startswith("--") and not a.startswith("--stub=")}
    linked = [a[len("--stub="):] for a in argv[1:] if a.startswith("--stub=")]
    paths = [a for a in argv[1:] if not a.startswith("--")]
    unknown = options - {"--payload", "--list-imports", "--list-resources"}
    if len(paths) != 1 or unknown:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    try:
        image = read_pe(paths[0])
    except (OSError, PEError, struct.error) as error:
        print(f"FAIL PE headers: {error}")
        print("0 passed, 1 failed")
        return 1
    if "--list-imports" in options:
        for dll, names in read_imports(image).items():
            print(f"{dll}: {', '.join(names)}")
    if "--list-resources" in options:
        resources = read_resources(image)
        for kind, name, lang in sorted(resources, key=resource_order):
            print(f"{_type_label(kind)} {name!r} lang {lang} {len(resources[kind, name, lang])} bytes")
    checks = CHECKS + ([("payload", check_payload), ("resource section", check_resource_section)]
                       if "--payload" in options else [])
    checks += [("stub's relocations", relocations_of(path)) for path in linked]
    passed = failed = 0
    for label, check in checks:
        try:
            print(f"ok   {label}: {check(image)}")
            passed += 1
        except (CheckFailed, PEError, struct.error, ValueError, IndexError) as error:
            print(f"FAIL {label}: {error}")
            failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
