#include "stub_check.h"

#include <algorithm>

#include "pack_error.h"
#include "pe_image.h"
#include "text.h"

namespace pack {
namespace {

constexpr uint16_t kRtManifest = 24;
constexpr uint32_t kImportDirectory = 1;
constexpr uint32_t kTlsDirectory = 9;
constexpr uint32_t kImportAddressDirectory = 12;
constexpr uint32_t kDataDirectories = 112;  // in the optional header
constexpr uint32_t kSectionHeader = 40;

struct Field {
  uint32_t offset, size;
  const char* name;
};
// The file header from the PE signature on, the optional header up to its data directories,
// and a section header, as their fields are named in faults.
constexpr Field kFileFields[] = {
    {0, 4, "the PE signature"}, {4, 2, "Machine"}, {6, 2, "NumberOfSections"},
    {8, 4, "TimeDateStamp"}, {12, 4, "PointerToSymbolTable"}, {16, 4, "NumberOfSymbols"},
    {20, 2, "SizeOfOptionalHeader"}, {22, 2, "Characteristics"}};
constexpr Field kOptionalFields[] = {
    {0, 2, "the optional header's magic"}, {2, 2, "the linker version"}, {4, 4, "SizeOfCode"},
    {8, 4, "SizeOfInitializedData"}, {12, 4, "SizeOfUninitializedData"},
    {16, 4, "the entry point"}, {20, 4, "BaseOfCode"}, {24, 8, "ImageBase"},
    {32, 4, "SectionAlignment"}, {36, 4, "FileAlignment"}, {40, 4, "the operating system version"},
    {44, 4, "the image version"}, {48, 4, "the subsystem version"}, {52, 4, "Win32VersionValue"},
    {56, 4, "SizeOfImage"}, {60, 4, "SizeOfHeaders"}, {64, 4, "CheckSum"},
    {68, 2, "the subsystem"}, {70, 2, "DllCharacteristics"}, {72, 8, "SizeOfStackReserve"},
    {80, 8, "SizeOfStackCommit"}, {88, 8, "SizeOfHeapReserve"}, {96, 8, "SizeOfHeapCommit"},
    {104, 4, "LoaderFlags"}, {108, 4, "NumberOfRvaAndSizes"}};
constexpr Field kSectionFields[] = {
    {0, 8, "name"}, {8, 4, "virtual size"}, {12, 4, "address"}, {16, 4, "raw size"},
    {20, 4, "file offset"}, {24, 4, "PointerToRelocations"}, {28, 4, "PointerToLinenumbers"},
    {32, 2, "NumberOfRelocations"}, {34, 2, "NumberOfLinenumbers"}, {36, 4, "characteristics"}};
const char* const kDirectoryNames[16] = {
    "export", "import", "resource", "exception", "certificate", "base relocation", "debug",
    "architecture", "global pointer", "TLS", "load configuration", "bound import",
    "import address table", "delay import", "CLR runtime", "reserved"};
// The section characteristics a fault names, the ones that open code to change first.
constexpr struct {
  uint32_t bit;
  const char* name;
} kAccess[] = {{0x80000000u, "writable"}, {0x20000000u, "executable"}, {0x10000000u, "shared"},
               {0x40000000u, "readable"}, {0x00000020u, "code"}, {0x02000000u, "discardable"}};

uint64_t Value(const uint8_t* at, uint32_t size) {
  uint64_t value = 0;
  for (uint32_t i = size; i-- > 0;) value = value << 8 | at[i];
  return value;
}

// All of a field's digits: 0x0160 for DllCharacteristics, as the headers' listings show them.
std::string Hex(uint64_t value, uint32_t size) {
  std::string text = "0x";
  for (int shift = 8 * static_cast<int>(size) - 4; shift >= 0; shift -= 4) {
    text += "0123456789ABCDEF"[value >> shift & 0xF];
  }
  return text;
}

std::string SubsystemText(uint64_t value) {
  const char* const kNames[] = {"", " (native)", " (GUI)", " (console)"};
  return std::to_string(value) + (value < 4 ? kNames[value] : "");
}

// The first field of the headers at which the installer's (`mine`) differ from the release's,
// named. `release` is laid out as StubImage made it, so its own offsets hold.
std::string HeaderFault(const std::vector<uint8_t>& release, const uint8_t* mine, uint32_t at) {
  const uint8_t* theirs = release.data();
  const uint32_t pe = Get32(theirs + 0x3C), optional = pe + 24;
  const uint32_t optional_size = Get16(theirs + pe + 20), count = Get16(theirs + pe + 6);
  const uint32_t directories =
      std::min<uint32_t>(Get32(theirs + optional + 108), (optional_size - kDataDirectories) / 8);
  const uint32_t table = optional + optional_size;
  auto differs = [&](const std::string& name, uint32_t offset, uint32_t size) {
    return name + " " + Hex(Value(mine + offset, size), size) + ", the release's " +
           Hex(Value(theirs + offset, size), size);
  };
  if (at < pe) return "the DOS header differs from the release's";
  if (at < optional) {
    for (const Field& field : kFileFields) {
      if (at < pe + field.offset + field.size) {
        return differs(field.name, pe + field.offset, field.size);
      }
    }
  }
  if (at < optional + kDataDirectories) {
    for (const Field& field : kOptionalFields) {
      if (at >= optional + field.offset + field.size) continue;
      if (field.offset == 68) {
        return "the subsystem is " + SubsystemText(Get16(mine + optional + 68)) +
               ", the release's " + SubsystemText(Get16(theirs + optional + 68));
      }
      return differs(field.name, optional + field.offset, field.size);
    }
  }
  if (at < optional + kDataDirectories + 8 * directories) {
    const uint32_t index = (at - optional - kDataDirectories) / 8;
    const uint32_t entry = optional + kDataDirectories + 8 * index;
    if (index == kTlsDirectory && Value(theirs + entry, 8) == 0) {
      return "a TLS directory, which the release has not";
    }
    if (index == kImportDirectory || index == kImportAddressDirectory) {
      return "the import directory differs from the release's";
    }
    if (index == kRelocationDirectory) return "the base relocations differ from the release's";
    return std::string("the ") + (index < 16 ? kDirectoryNames[index] : "data") +
           " directory entry differs from the release's";
  }
  if (at >= table && at < table + kSectionHeader * count) {
    const uint32_t header = table + kSectionHeader * ((at - table) / kSectionHeader);
    const char* name = reinterpret_cast<const char*>(theirs + header);
    const std::string section(name, std::find(name, name + 8, '\0'));
    for (const Field& field : kSectionFields) {
      if (at >= header + field.offset + field.size) continue;
      if (field.offset != 36) {
        return differs("section " + section + "'s " + field.name, header + field.offset,
                       field.size);
      }
      const uint32_t has = Get32(mine + header + 36), had = Get32(theirs + header + 36);
      for (const auto& access : kAccess) {
        if (((has ^ had) & access.bit) == 0) continue;
        const bool now = (has & access.bit) != 0;
        return "the stub's section " + section + (now ? " is " : " is not ") + access.name +
               ", the release's " + (now ? "is not" : "is");
      }
      return differs("section " + section + "'s characteristics", header + 36, 4);
    }
  }
  return "the headers differ from the release's at offset " + Hex(at, 4);
}

void CompareHeaders(ByteSpan installer, const std::vector<uint8_t>& release, uint32_t optional,
                    std::vector<std::string>* faults) {
  // Signing sets these: the certificate table itself is checked where the signature is read.
  auto exempt = [optional](uint64_t at) {
    return (at >= optional + kCheckSumField && at < optional + kCheckSumField + 4) ||
           (at >= optional + kSecurityEntryField && at < optional + kSecurityEntryField + 8);
  };
  for (uint32_t at = 0; at < release.size(); ++at) {
    if (installer.data()[at] != release[at] && !exempt(at)) {
      faults->push_back(HeaderFault(release, installer.data(), at));
      return;
    }
  }
}

bool Within(uint64_t rva, const uint8_t* optional, uint32_t index) {
  const uint32_t start = Get32(optional + kDataDirectories + 8 * index);
  return rva >= start && rva - start < Get32(optional + kDataDirectories + 8 * index + 4);
}

void CompareSections(ByteSpan installer, const StubImage& stub, const uint8_t* optional,
                     std::vector<std::string>* faults) {
  for (const StubImage::Piece& piece : stub.Pieces()) {
    ByteSpan mine;
    if (!installer.Sub(piece.offset, piece.size, &mine)) {
      faults->push_back("section " + piece.name + " is cut short");
      continue;
    }
    const uint8_t* differ = std::mismatch(piece.bytes, piece.bytes + piece.size, mine.data()).first;
    if (differ == piece.bytes + piece.size) continue;
    const uint64_t rva = piece.rva + static_cast<uint64_t>(differ - piece.bytes);
    if (piece.relocations) {
      faults->push_back("the base relocations differ from the release's");
    } else if (Within(rva, optional, kImportDirectory) ||
               Within(rva, optional, kImportAddressDirectory)) {
      faults->push_back("the import directory differs from the release's");
    } else {
      faults->push_back("section " + piece.name + " differs from the release's at RVA " +
                        Hex(rva, 4));
    }
  }
}

// The packer writes zeros between the pieces it lays out, and nothing after the resource
// section but what signing appends: the certificate table its directory entry names.
void CompareRest(ByteSpan installer, const StubImage& stub, uint64_t headers_size,
                 uint64_t resource_size, uint32_t optional, std::vector<std::string>* faults) {
  struct Held {
    uint64_t from, to;
  };
  const uint64_t resources = stub.ResourceSectionOffset();
  const uint64_t end = resources + AlignUp(resource_size, stub.file_alignment());
  std::vector<Held> held = {{0, headers_size}, {resources, resources + resource_size}, {end, end}};
  for (const StubImage::Piece& piece : stub.Pieces()) {
    held.push_back({piece.offset, uint64_t{piece.offset} + piece.size});
  }
  std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.from < b.from; });
  const uint64_t size = installer.size();
  uint64_t at = 0;
  for (const Held& next : held) {
    for (; at < std::min({next.from, end, size}); ++at) {
      if (installer.data()[at] != 0) {
        faults->push_back("bytes at file offset " + Hex(at, 4) +
                          " outside every section, where the release has none");
        at = size;
        break;
      }
    }
    at = std::max(at, next.to);
  }

  uint32_t table = 0, table_size = 0;
  installer.Read32(optional + kSecurityEntryField, &table);
  installer.Read32(optional + kSecurityEntryField + 4, &table_size);
  if (size < end) {
    faults->push_back("the file ends before its resource section does");
  } else if (table_size == 0 && size > end) {
    faults->push_back(GroupedDigits(size - end) + " bytes after the last section, where the "
                      "release has none");
  } else if (table_size != 0 && table != end) {
    faults->push_back("the certificate table does not begin where the last section ends");
  } else if (table_size != 0 && size > end + table_size) {
    faults->push_back(GroupedDigits(size - end - table_size) +
                      " bytes after the certificate table");
  }
}

void CompareManifests(const std::vector<ResourceItem>& installer,
                      const std::vector<ResourceItem>& stub, std::vector<std::string>* faults) {
  std::vector<const ResourceItem*> mine, theirs;
  for (const ResourceItem& item : installer) {
    if (item.type == ResourceKey::Id(kRtManifest)) mine.push_back(&item);
  }
  for (const ResourceItem& item : stub) {
    if (item.type == ResourceKey::Id(kRtManifest)) theirs.push_back(&item);
  }
  if (mine.size() != theirs.size()) {
    faults->push_back(mine.empty() ? "no manifest (RT_MANIFEST), which the release has"
                                   : std::to_string(mine.size()) + " manifests (RT_MANIFEST), "
                                     "where the release has " + std::to_string(theirs.size()));
    return;
  }
  for (size_t i = 0; i < mine.size(); ++i) {
    const ByteSpan a = mine[i]->data, b = theirs[i]->data;
    if (!(mine[i]->name == theirs[i]->name) || mine[i]->language != theirs[i]->language ||
        a.size() != b.size() || !std::equal(a.data(), a.data() + a.size(), b.data())) {
      faults->push_back("the manifest differs from the release's");
      return;
    }
  }
}

std::vector<std::string> Compare(ByteSpan installer, ByteSpan stub_bytes,
                                 const std::vector<ResourceItem>& installer_resources,
                                 const std::vector<ResourceItem>& stub_resources) {
  const StubImage stub(stub_bytes.data(), stub_bytes.size());
  const uint32_t optional = Get32(stub_bytes.data() + 0x3C) + 24;
  std::vector<std::string> faults;
  // The resource section's size as the installer's headers give it: everything else they hold
  // then follows from the stub.
  uint32_t resource_size = 0;
  if (!installer.Read32(optional + kDataDirectories + 8 * kResourceDirectory + 4, &resource_size)) {
    return {"the headers are cut short"};
  }
  const std::vector<uint8_t> headers = stub.Headers(resource_size);
  if (installer.size() < headers.size()) return {"the headers are cut short"};
  CompareHeaders(installer, headers, optional, &faults);
  CompareSections(installer, stub, headers.data() + optional, &faults);
  CompareRest(installer, stub, headers.size(), resource_size, optional, &faults);
  CompareManifests(installer_resources, stub_resources, &faults);
  // A section's bytes and its header can name the same difference.
  std::vector<std::string> unique;
  for (std::string& fault : faults) {
    if (std::find(unique.begin(), unique.end(), fault) == unique.end()) {
      unique.push_back(std::move(fault));
    }
  }
  return unique;
}

}  // namespace

std::vector<std::string> StubFaults(ByteSpan installer, ByteSpan stub,
                                    const std::vector<ResourceItem>& installer_resources,
                                    const std::vector<ResourceItem>& stub_resources) {
  // The stub itself, as a release carries it, is that release's too.
  if (!stub.empty() && installer.size() == stub.size() &&
      std::equal(installer.data(), installer.data() + installer.size(), stub.data())) {
    return {};
  }
  try {
    return Compare(installer, stub, installer_resources, stub_resources);
  } catch (const PackError& error) {
    // Only a release listed without its stub image comes here: it cannot be held up whole.
    return {std::string("the release's stub cannot be compared: ") + error.what()};
  }
}

}  // namespace pack
