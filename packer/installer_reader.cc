#include "installer_reader.h"

#include <algorithm>
#include <unordered_set>

#include "cabinet_reader.h"
#include "json.h"
#include "pe_image.h"
#include "pe_kind.h"
#include "resource_lookup.h"
#include "stub_check.h"
#include "text.h"

namespace pack {
namespace {

constexpr uint16_t kAmd64 = 0x8664;
constexpr uint32_t kMostSections = 96;  // the loader's own limit
// Far more than an installer holds; the directory may not make more out of shared entries.
constexpr size_t kMostResources = 65536;

struct Section {
  std::string name;
  uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_pointer = 0;
};

struct Image {
  uint64_t optional = 0;  // the optional header's offset
  uint32_t entry_point = 0, section_alignment = 0, file_alignment = 0, size_of_image = 0,
           size_of_headers = 0, checksum = 0, directory_count = 0;
  std::vector<Section> sections;
  uint32_t Directory(ByteSpan file, uint32_t index, uint32_t* size) const {
    uint32_t rva = 0;
    *size = 0;
    if (index >= directory_count) return 0;
    file.Read32(optional + 112 + 8 * index, &rva);
    file.Read32(optional + 116 + 8 * index, size);
    return rva;
  }
  // The file bytes of [rva, rva + count), when one section's raw data holds them.
  bool At(ByteSpan file, uint64_t rva, uint64_t count, ByteSpan* out) const {
    for (const Section& s : sections) {
      const uint64_t held = std::min(s.raw_size, std::max(s.virtual_size, 1u));
      if (rva >= s.virtual_address && rva - s.virtual_address <= held &&
          count <= held - (rva - s.virtual_address)) {
        return file.Sub(s.raw_pointer + (rva - s.virtual_address), count, out);
      }
    }
    return false;
  }
};

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// The headers and section table, or why they are none of a PE32+ x64 image.
std::string ReadImage(ByteSpan file, Image* image) {
  uint16_t mz, machine, count, optional_size, magic;
  uint32_t pe_offset, signature;
  if (!file.Read16(0, &mz) || mz != 0x5A4D || !file.Read32(0x3C, &pe_offset)) {
    return "not a Windows executable (no MZ header)";
  }
  if (!file.Read32(pe_offset, &signature) || signature != 0x00004550) {
    return "not a Windows executable (no PE header)";
  }
  if (!file.Read16(pe_offset + 4ull, &machine) || !file.Read16(pe_offset + 6ull, &count) ||
      !file.Read16(pe_offset + 20ull, &optional_size)) {
    return "damaged: the PE header is cut short";
  }
  image->optional = pe_offset + 24ull;
  if (machine != kAmd64 || !file.Read16(image->optional, &magic) || magic != kPe32Plus) {
    return "not an x64 (PE32+) executable";
  }
  if (optional_size < 112 || !file.Holds(image->optional, optional_size) ||
      !file.Read32(image->optional + 16, &image->entry_point) ||
      !file.Read32(image->optional + 32, &image->section_alignment) ||
      !file.Read32(image->optional + 36, &image->file_alignment) ||
      !file.Read32(image->optional + 56, &image->size_of_image) ||
      !file.Read32(image->optional + 60, &image->size_of_headers) ||
      !file.Read32(image->optional + kCheckSumField, &image->checksum) ||
      !file.Read32(image->optional + 108, &image->directory_count)) {
    return "damaged: the optional header is cut short";
  }
  image->directory_count = std::min<uint32_t>(image->directory_count, (optional_size - 112) / 8);
  if (count == 0 || count > kMostSections) return "damaged: " + std::to_string(count) + " sections";
  const uint64_t table = image->optional + optional_size;
  ByteSpan headers;
  if (!file.Sub(table, 40ull * count, &headers)) return "damaged: the section table is cut short";
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* at = headers.data() + 40 * i;
    Section s;
    s.name.assign(reinterpret_cast<const char*>(at), 8);
    s.name.resize(std::min(s.name.find('\0'), s.name.size()));
    s.virtual_size = Get32(at + 8);
    s.virtual_address = Get32(at + 12);
    s.raw_size = Get32(at + 16);
    s.raw_pointer = Get32(at + 20);
    if (s.raw_size != 0 && !file.Holds(s.raw_pointer, s.raw_size)) {
      return "damaged: section " + Quoted(s.name) + " lies past the end of the file";
    }
    image->sections.push_back(s);
  }
  return "";
}

// The PE checksum: 16-bit words summed with their carries folded back, the field itself left
// out, plus the file's length. Summed here 32 bits at a time, which the compiler vectorizes:
// 2^16 is 1 modulo 2^16 - 1, so a 32-bit word adds what its two halves add once the carries are
// folded, and no 64-bit sum of a file Windows loads can wrap. Folded from the file's windows in
// order (ForEachWindow's, whose sizes are multiples of four but the last's), so that the pass
// that takes the signature's digest takes it too.
class ChecksumFold {
 public:
  void Add(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 4 <= size; i += 4) sum_ += Get32(data + i);
  }
  uint32_t Finish(ByteSpan file, uint64_t field) const;

 private:
  uint64_t sum_ = 0;
};

uint32_t ChecksumFold::Finish(ByteSpan file, uint64_t field) const {
  const uint8_t* bytes = file.data();
  const size_t words = file.size() / 4;
  uint64_t sum = sum_;
  if (file.size() % 4 >= 2) sum += Get16(bytes + 4 * words);
  if (file.size() % 2) sum += bytes[file.size() - 1];
  // The field's two words, as they were added: a word at 4n + 2 is the upper half of its 32.
  for (uint64_t at : {field, field + 2}) {
    if (field % 2 == 0 && at + 2 <= file.size() / 2 * 2) {
      sum -= uint64_t{Get16(bytes + at)} << (at % 4 == 2 && at + 2 <= 4 * words ? 16 : 0);
    }
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file.size());
}

void CheckLayout(ByteSpan file, const Image& image, InstallerReport* report) {
  auto fault = [report](const std::string& text) { report->image_faults.push_back(text); };
  if (!IsPowerOfTwo(image.file_alignment) || image.file_alignment < 512 ||
      image.file_alignment > 65536 || !IsPowerOfTwo(image.section_alignment) ||
      image.section_alignment < image.file_alignment) {
    fault("the section and file alignments are not ones Windows loads");
    return;
  }
  uint64_t next = AlignUp(image.size_of_headers, image.section_alignment);
  uint64_t raw_end = image.size_of_headers;
  for (const Section& s : image.sections) {
    if (s.virtual_address != next) {
      fault("section " + Quoted(s.name) + " does not follow the one before it in memory");
    }
    next = AlignUp(uint64_t{s.virtual_address} + std::max(s.virtual_size, 1u),
                   image.section_alignment);
    if (s.raw_size != 0) {
      if (s.raw_pointer % image.file_alignment != 0) {
        fault("section " + Quoted(s.name) + " is not aligned in the file");
      }
      raw_end = std::max<uint64_t>(raw_end, uint64_t{s.raw_pointer} + s.raw_size);
    }
  }
  if (image.size_of_headers > file.size()) fault("the headers are larger than the file");
  if (image.size_of_image != next) {
    fault("SizeOfImage is " + std::to_string(image.size_of_image) + ", its sections end at " +
          std::to_string(next));
  }
  if (next > kMaxImageSize || file.size() > kMaxImageSize) {
    fault("the image is larger than the 2 GB Windows loads");
  }
  uint32_t table_size;
  const uint32_t table = image.Directory(file, kSecurityDirectory, &table_size);
  if (table_size != 0 && (table < raw_end || table % 8 != 0 || !file.Holds(table, table_size))) {
    fault("the certificate table does not follow the image's sections within the file");
  }

  // Base relocations: blocks of a page address, a size and 16-bit entries, each entry a 64-bit
  // address to fix inside the image, or padding.
  uint32_t size;
  const uint32_t rva = image.Directory(file, kRelocationDirectory, &size);
  ByteSpan blocks;
  if (size == 0) return;
  if (!image.At(file, rva, size, &blocks)) {
    fault("the relocation directory lies outside the sections' data");
    return;
  }
  for (uint64_t at = 0; at < blocks.size();) {
    uint32_t page, block_size;
    if (!blocks.Read32(at, &page) || !blocks.Read32(at + 4, &block_size) || block_size < 8 ||
        block_size % 2 != 0 || !blocks.Holds(at, block_size)) {
      fault("relocation block at " + std::to_string(at) + " is damaged");
      return;
    }
    for (uint64_t entry = at + 8; entry + 2 <= at + block_size; entry += 2) {
      const uint16_t value = Get16(blocks.data() + entry);
      const uint16_t type = value >> 12;
      if (type == 0) continue;
      if (type != 10 || uint64_t{page} + (value & 0xFFF) + 8 > image.size_of_image) {
        fault("relocation block at " + std::to_string(at) + " fixes an address Windows refuses");
        return;
      }
    }
    at += block_size;
  }
}

// The entries of one resource directory: each key and where its subdirectory or data entry is.
struct DirectoryEntry {
  ResourceKey key;
  uint32_t target = 0;
  bool subdirectory = false;
};

// A kind of fault counted rather than listed: a file may hold one in every entry, and the report
// stays one line a kind, its first instance and how many more.
class FaultTally {
 public:
  template <typename Text>
  void Add(const Text& text) {
    if (count_++ == 0) first_ = text();
  }
  uint64_t count() const { return count_; }
  std::string Line() const {
    return count_ <= 1 ? first_ : first_ + " (and " + GroupedDigits(count_ - 1) + " more like it)";
  }

 private:
  std::string first_;
  uint64_t count_ = 0;
};

// Far more name text than an installer holds, and what every resource's copy of its type's and
// its own name may add up to: names are read and copied for each entry that points at them.
constexpr uint64_t kMostNameUnits = 16u << 20;

// One walk over the resource tree, each directory at most once, so that the work is bounded by
// the tree's bytes however its entries point: a directory reached twice (shared, or a loop) is not
// walked again but counted, and the walk then refuses the file.
class TreeWalk {
 public:
  TreeWalk(ByteSpan file, const Image& image, ByteSpan section, InstallerReport* report)
      : file_(file), image_(image), section_(section), report_(report) {}

  std::string Run() {
    std::vector<DirectoryEntry> types, names, languages;
    if (!Read(0, &types, "the resource directory")) {
      return "damaged: the resource directory is cut short";
    }
    for (const DirectoryEntry& type : types) {
      CheckName(type.key, "resource type");
      if (!type.subdirectory) {
        return "damaged: the directory of resource type " + Quoted(type.key.Text());
      }
      if (!Visit(type.target)) continue;
      if (!Read(type.target, &names, "type " + Quoted(type.key.Text()))) {
        return Stopped("damaged: the directory of resource type " + Quoted(type.key.Text()));
      }
      for (const DirectoryEntry& name : names) {
        CheckName(name.key, "resource " + type.key.Text());
        if (!name.subdirectory) {
          return "damaged: the directory of resource " + Quoted(name.key.Text());
        }
        if (!Visit(name.target)) continue;
        if (!Read(name.target, &languages, "resource " + Quoted(name.key.Text()))) {
          return Stopped("damaged: the directory of resource " + Quoted(name.key.Text()));
        }
        for (const DirectoryEntry& language : languages) {
          const std::string why = Data(type, name, language);
          if (!why.empty()) return why;
        }
      }
    }
    for (const FaultTally* tally : {&miscounted_, &unsorted_, &numbered_, &lower_case_}) {
      if (tally->count() != 0) report_->lookup_faults.push_back(tally->Line());
    }
    return Shared();
  }

 private:
  // False, and counted, for a directory reached before.
  bool Visit(uint32_t offset) {
    if (visited_.insert(offset).second) return true;
    reached_twice_.Add([offset] {
      return "the resource directory at offset " + std::to_string(offset) +
             " is reached from more than one entry";
    });
    return false;
  }

  bool Read(uint32_t offset, std::vector<DirectoryEntry>* entries, const std::string& where) {
    uint16_t named, ids;
    entries->clear();
    if (!section_.Read16(offset + 12ull, &named) || !section_.Read16(offset + 14ull, &ids)) {
      return false;
    }
    // Entries 8 bytes each, none read twice, fit in the section; more means tables that overlap.
    entries_read_ += uint64_t{named} + ids;
    if (entries_read_ > section_.size() / 8) {
      too_much_ = "damaged: the resource directories' tables overlap one another";
      return false;
    }
    for (uint32_t i = 0; i < uint32_t{named} + ids; ++i) {
      uint32_t name, target;
      if (!section_.Read32(offset + 16ull + 8ull * i, &name) ||
          !section_.Read32(offset + 20ull + 8ull * i, &target)) {
        return false;
      }
      DirectoryEntry entry;
      entry.subdirectory = (target & 0x80000000u) != 0;
      entry.target = target & 0x7FFFFFFFu;
      if (name & 0x80000000u) {
        uint16_t length;
        std::u16string text;
        const uint64_t at = name & 0x7FFFFFFFu;
        if (!section_.Read16(at, &length) || !CountUnits(length) ||
            !section_.ReadUnits(at + 2, length, &text)) {
          return false;
        }
        entry.key = ResourceKey::Name(std::move(text));
      } else {
        entry.key = ResourceKey::Id(static_cast<uint16_t>(name));
      }
      if (entry.key.is_name != (i < named)) {
        miscounted_.Add([&] { return where + " counts its named entries wrongly"; });
      }
      if (!entries->empty() && !(entries->back().key < entry.key)) {
        unsorted_.Add([&] {
          return where + " is not sorted: " + Quoted(entry.key.Text()) + " after " +
                 Quoted(entries->back().key.Text());
        });
      }
      entries->push_back(std::move(entry));
    }
    return true;
  }

  bool CountUnits(uint64_t units) {
    units_ += units;
    if (units_ <= kMostNameUnits) return true;
    too_much_ = "damaged: the resource directory's names add up to more than " +
                GroupedDigits(kMostNameUnits) + " characters";
    return false;
  }

  // The damage that stopped a read: the bound it crossed, else `why`.
  std::string Stopped(const std::string& why) const { return too_much_.empty() ? why : too_much_; }

  void CheckName(const ResourceKey& key, const std::string& what) {
    if (!key.is_name) return;
    if (!key.name.empty() && key.name[0] == u'#') {
      numbered_.Add([&] {
        return what + " " + Quoted(key.Text()) + " begins with '#': Windows reads it as a number";
      });
    } else if (UpperCaseUnits(key.name) != key.name) {
      lower_case_.Add([&] {
        return what + " " + Quoted(key.Text()) +
               " is not stored in upper case: Windows never finds it";
      });
    }
  }

  std::string Data(const DirectoryEntry& type, const DirectoryEntry& name,
                   const DirectoryEntry& language) {
    uint32_t data_rva, data_size;
    ResourceItem item;
    if (language.subdirectory || language.key.is_name ||
        !section_.Read32(language.target, &data_rva) ||
        !section_.Read32(language.target + 4ull, &data_size) ||
        !image_.At(file_, data_rva, data_size, &item.data)) {
      return "damaged: the data of resource " + type.key.Text() + " " + Quoted(name.key.Text()) +
             " lies outside the file";
    }
    if (report_->resources.size() == kMostResources) {
      return "damaged: the resource directory names more than " + std::to_string(kMostResources) +
             " resources";
    }
    if (!CountUnits(type.key.name.size() + name.key.name.size())) return too_much_;
    item.type = type.key;
    item.name = name.key;
    item.language = language.key.id;
    report_->resources.push_back(std::move(item));
    return "";
  }

  // Directories reached twice, and data two resources share or overlap in: the packer writes
  // neither, and each would have every reading pass do the same work once a name.
  std::string Shared() {
    std::vector<size_t> order;
    for (size_t i = 0; i < report_->resources.size(); ++i) {
      if (!report_->resources[i].data.empty()) order.push_back(i);
    }
    const auto start = [this](size_t i) { return report_->resources[i].data.data(); };
    // Of those that share a start, the first in directory order keeps it: the report names the
    // same one every time.
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return start(a) != start(b) ? start(a) < start(b) : a < b;
    });
    FaultTally overlapping;
    const uint8_t* end = nullptr;
    for (size_t i : order) {
      const ResourceItem& item = report_->resources[i];
      if (end != nullptr && start(i) < end) {
        overlapping.Add([&] {
          return "the data of resource " + item.type.Text() + " " + Quoted(item.name.Text()) +
                 " overlaps another resource's";
        });
      }
      end = std::max(end, item.data.data() + item.data.size());
    }
    std::string why;
    for (const FaultTally* tally : {&reached_twice_, &overlapping}) {
      if (tally->count() != 0) why += (why.empty() ? "damaged: " : "; ") + tally->Line();
    }
    return why;
  }

  ByteSpan file_;
  const Image& image_;
  ByteSpan section_;
  InstallerReport* report_;
  std::unordered_set<uint32_t> visited_{0};
  uint64_t entries_read_ = 0, units_ = 0;
  std::string too_much_;
  FaultTally reached_twice_, miscounted_, unsorted_, numbered_, lower_case_;
};

// Every resource, three levels deep (type, name, language), or why the directory is damaged.
std::string ReadResources(ByteSpan file, const Image& image, InstallerReport* report) {
  uint32_t size;
  const uint32_t rva = image.Directory(file, kResourceDirectory, &size);
  const Section* holder = nullptr;
  for (const Section& s : image.sections) {
    if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size) holder = &s;
  }
  if (size == 0 || holder == nullptr) return "no resources: not an installer";
  // Offsets in the directory count from its start, and reach to its section's end.
  ByteSpan section;
  file.Sub(holder->raw_pointer + (rva - holder->virtual_address),
           holder->raw_size - (rva - holder->virtual_address), &section);
  return TreeWalk(file, image, section, report).Run();
}

// The payload as the stub scans it, from the names its enumeration lists and the resources its
// lookup finds for them.
void ScanResources(InstallerReport* report) {
  const std::vector<PayloadName> names = EnumeratedNames(report->resources);
  report->payload = ScanPayload(names.data(), names.size());
  for (std::string& fault : LanguageFaults(report->resources)) {
    report->lookup_faults.push_back(std::move(fault));
  }
  if (report->payload.exit_code != 0) return;
  report->archive = names[static_cast<size_t>(report->payload.archive)].found;
  SetupProgram setup;
  setup.resource = static_cast<size_t>(names[static_cast<size_t>(report->payload.setup)].found);
  const ResourceItem& item = report->resources[setup.resource];
  setup.patch = item.type == ResourceKey::Name(u"B7");
  Sha256 digest;
  ProgramHeaders program;
  if (item.type == ResourceKey::Name(u"BL")) {
    setup.expanded = true;
    CabinetContents contents;
    setup.cabinet_fault = ReadCabinet(
        item.data,
        [&](const uint8_t* bytes, size_t count) {
          digest.Update(bytes, count);
          program.See(setup.size, bytes, count);
          setup.size += count;
        },
        &contents);
  } else {
    digest.Update(item.data.data(), item.data.size());
    program.See(0, item.data.data(), item.data.size());
    setup.size = item.data.size();
  }
  setup.sha256 = digest.Finish();
  // A patch becomes a program only on the user's machine; a cabinet cut short says enough.
  if (!setup.patch && setup.cabinet_fault.empty()) setup.program_fault = program.Fault(setup.size);
  report->setup = setup;
}

// One node of a version block: length, value length, type, key, value and children.
struct VersionNode {
  std::u16string key;
  ByteSpan value;
  ByteSpan children;
  bool text = false;
  uint64_t next = 0;  // where the node after it begins
};

bool ReadVersionNode(ByteSpan block, uint64_t at, VersionNode* node) {
  uint16_t length, value_length, type;
  ByteSpan whole;
  if (!block.Read16(at, &length) || !block.Read16(at + 2, &value_length) ||
      !block.Read16(at + 4, &type) || length < 6 || !block.Sub(at, length, &whole)) {
    return false;
  }
  node->key.clear();
  uint64_t offset = 6;
  for (uint16_t unit; whole.Read16(offset, &unit) && unit != 0; offset += 2) {
    node->key.push_back(static_cast<char16_t>(unit));
  }
  offset = AlignUp(offset + 2, 4);
  node->text = type == 1;
  const uint64_t value_bytes = node->text ? 2ull * value_length : value_length;
  if (!whole.Sub(std::min<uint64_t>(offset, length), std::min<uint64_t>(value_bytes, whole.From(offset).size()), &node->value)) {
    return false;
  }
  node->children = whole.From(AlignUp(offset + value_bytes, 4));
  node->next = AlignUp(at + length, 4);
  return true;
}

void ReadVersion(const ResourceItem& item, InstallerReport* report) {
  VersionNode root, file_info, table, string;
  if (!ReadVersionNode(item.data, 0, &root)) return;
  uint32_t signature;
  if (root.value.Read32(0, &signature) && signature == 0xFEEF04BD && root.value.size() >= 24) {
    report->has_version = true;
    const uint8_t* fixed = root.value.data();
    for (int i = 0; i < 2; ++i) {
      report->file_version[2 * i] = Get16(fixed + 10 + 4 * i);
      report->file_version[2 * i + 1] = Get16(fixed + 8 + 4 * i);
      report->product_version[2 * i] = Get16(fixed + 18 + 4 * i);
      report->product_version[2 * i + 1] = Get16(fixed + 16 + 4 * i);
    }
  }
  // StringFileInfo, its string tables, their strings: three levels, each loop moving forward.
  for (uint64_t a = 0; ReadVersionNode(root.children, a, &file_info); a = file_info.next) {
    if (file_info.key != u"StringFileInfo") continue;
    for (uint64_t b = 0; ReadVersionNode(file_info.children, b, &table); b = table.next) {
      for (uint64_t c = 0; ReadVersionNode(table.children, c, &string); c = string.next) {
        std::u16string value;
        string.value.ReadUnits(0, string.value.size() / 2, &value);
        value.resize(std::min(value.find(u'\0'), value.size()));
        report->version_strings.emplace_back(Utf16ToUtf8(string.key), Utf16ToUtf8(value));
      }
    }
  }
}

void ReadIconGroup(const ResourceItem& item, InstallerReport* report) {
  uint16_t count;
  if (!item.data.Read16(4, &count)) return;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t width, height;
    if (!item.data.Read8(6 + 14ull * i, &width) || !item.data.Read8(7 + 14ull * i, &height)) return;
    report->icon_sizes.emplace_back(width ? width : 256u, height ? height : 256u);
  }
}

// The signature, its digests checked in a pass over the file that also hands `also` each window
// of it; false when no such pass was made.
bool ReadSignatureOf(ByteSpan file, const Image& image, InstallerReport* report,
                     const WindowFold& also) {
  uint32_t size;
  const uint32_t offset = image.Directory(file, kSecurityDirectory, &size);
  if (size == 0) return false;
  ByteSpan table;
  if (!file.Sub(offset, size, &table)) {
    report->signature_fault = "the certificate table lies past the end of the file";
    return false;
  }
  report->signature = ReadSignature(table, &report->signature_fault);
  if (!report->signature) return false;
  AuthenticodeLayout layout;
  layout.checksum_field = image.optional + kCheckSumField;
  layout.security_entry = image.optional + kSecurityEntryField;
  layout.table_offset = offset;
  layout.table_size = size;
  CheckFileDigests(file, layout, &*report->signature, also);
  return true;
}

std::string VersionText(const std::array<uint16_t, 4>& v) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

void ResourceJson(JsonWriter& json, const InstallerReport& report,
                  const std::vector<std::string>& digests, size_t index) {
  const ResourceItem& item = report.resources[index];
  json.Key("type").String(item.type.Text()).Key("name").String(item.name.Text());
  json.Key("size").Number(item.data.size()).Key("sha256").String(digests[index]);
}

// Everything ReadInstaller reports; the checksum last, folded in the signature's pass over the
// file where there is one, so that a large installer is read once.
void ReadParts(ByteSpan file, const std::vector<StubRelease>& releases, InstallerReport* report) {
  report->file_size = file.size();
  Image image;
  report->unreadable = ReadImage(file, &image);
  if (!report->unreadable.empty()) return;
  report->image_size = image.size_of_image;
  CheckLayout(file, image, report);
  report->unreadable = ReadResources(file, image, report);
  if (!report->unreadable.empty()) return;
  StubDigest(file, &report->stub_digest);
  for (const StubRelease& release : releases) {
    if (release.digest != report->stub_digest) continue;
    Image stub_image;
    InstallerReport stub;  // the release's own resources, read as this file's are
    if (ReadImage(release.image, &stub_image).empty()) {
      ReadResources(release.image, stub_image, &stub);
    }
    report->stub_faults = StubFaults(file, release.image, report->resources, stub.resources);
    if (report->stub_faults.empty()) report->stub_release = release.version;
    break;
  }
  bool payload_types = false;
  for (const ResourceItem& item : report->resources) {
    payload_types |= item.type == ResourceKey::Name(u"B7") ||
                     item.type == ResourceKey::Name(u"BL") || item.type == ResourceKey::Name(u"BN");
  }
  if (!payload_types && !report->stub_release) {
    report->unreadable = "not an installer: no payload resources and not a stub of tamrel-pack";
    return;
  }
  ScanResources(report);
  for (const ResourceItem& item : report->resources) {
    if (item.type == ResourceKey::Id(kRtVersion) && !report->has_version) ReadVersion(item, report);
    if (item.type == ResourceKey::Id(kRtGroupIcon) && item.name == ResourceKey::Id(kIconGroup) &&
        report->icon_sizes.empty()) {
      ReadIconGroup(item, report);
    }
  }
  ChecksumFold checksum;
  const WindowFold fold = [&checksum](const uint8_t* data, size_t size) {
    checksum.Add(data, size);
  };
  if (!ReadSignatureOf(file, image, report, fold)) ForEachWindow(file, fold);
  report->checksum_ok = checksum.Finish(file, image.optional + kCheckSumField) == image.checksum;
}


}  // namespace

bool StubDigest(ByteSpan file, std::array<uint8_t, Sha256::kSize>* digest) {
  Image image;
  if (!ReadImage(file, &image).empty()) return false;
  uint32_t size;
  const uint32_t resources = image.Directory(file, kResourceDirectory, &size);
  const uint32_t relocations = image.Directory(file, kRelocationDirectory, &size);
  Sha256 sha;
  uint8_t field[4];
  Set32(field, image.entry_point);
  sha.Update(field, 4);
  for (const Section& s : image.sections) {
    if (s.virtual_address == resources || (size != 0 && s.virtual_address == relocations)) continue;
    uint8_t header[16] = {};
    std::copy(s.name.begin(), s.name.end(), header);
    Set32(header + 8, s.virtual_address);
    Set32(header + 12, s.virtual_size);
    sha.Update(header, sizeof(header));
    if (s.raw_size != 0) sha.Update(file.data() + s.raw_pointer, s.raw_size);
  }
  *digest = sha.Finish();
  return true;
}

InstallerReport ReadInstaller(ByteSpan file, const std::vector<StubRelease>& releases) {
  InstallerReport report;
  ReadParts(file, releases, &report);
  return report;
}


std::vector<std::string> VerifyFaults(const InstallerReport& report) {
  if (!report.unreadable.empty()) return {report.unreadable};
  std::vector<std::string> faults = report.image_faults;
  if (!report.checksum_ok) faults.push_back("the PE checksum is wrong");
  faults.insert(faults.end(), report.lookup_faults.begin(), report.lookup_faults.end());
  if (report.payload.exit_code != 0) {
    faults.push_back("the installer would exit with " + std::to_string(report.payload.exit_code) +
                     " (error " + std::to_string(report.payload.error) + ") before setup runs");
  }
  if (report.setup && !report.setup->cabinet_fault.empty()) {
    faults.push_back("the setup program's cabinet: " + report.setup->cabinet_fault);
  }
  if (report.setup && !report.setup->program_fault.empty()) {
    faults.push_back("the setup program " + report.setup->program_fault);
  }
  if (!report.stub_release && report.stub_faults.empty()) {
    faults.push_back("the stub is not one a release of tamrel-pack carries");
  }
  for (const std::string& fault : report.stub_faults) {
    faults.push_back("stub NOT genuine: " + fault);
  }
  if (!report.signature_fault.empty()) faults.push_back("the signature: " + report.signature_fault);
  if (report.signature) {
    const std::vector<std::string> signature = SignatureFaults(*report.signature);
    faults.insert(faults.end(), signature.begin(), signature.end());
  }
  return faults;
}

std::string ReportJson(const InstallerReport& report) {
  JsonWriter json;
  json.Open('{');
  json.Key("file_size").Number(report.file_size);
  if (!report.unreadable.empty()) {
    json.Key("error").String(report.unreadable).Close();
    return json.text();
  }
  // Each resource's digest once: the archive is listed twice.
  std::vector<std::string> digests;
  for (const ResourceItem& item : report.resources) {
    Sha256 sha;
    ForEachWindow(item.data, [&sha](const uint8_t* data, size_t size) { sha.Update(data, size); });
    const auto digest = sha.Finish();
    digests.push_back(HexText(digest.data(), digest.size()));
  }
  json.Key("image_size").Number(report.image_size).Key("checksum_ok").Bool(report.checksum_ok);
  json.Key("resources").Open('[');
  for (size_t i = 0; i < report.resources.size(); ++i) {
    json.Open('{');
    ResourceJson(json, report, digests, i);
    json.Key("language").Number(report.resources[i].language).Close();
  }
  json.Close().Key("archive");
  if (report.archive < 0) {
    json.Null();
  } else {
    json.Open('{');
    ResourceJson(json, report, digests, static_cast<size_t>(report.archive));
    json.Close();
  }
  json.Key("setup");
  if (!report.setup) {
    json.Null();
  } else {
    const SetupProgram& setup = *report.setup;
    const ResourceItem& item = report.resources[setup.resource];
    json.Open('{').Key("type").String(item.type.Text()).Key("name").String(item.name.Text());
    json.Key("size").Number(setup.size);
    json.Key("sha256").String(HexText(setup.sha256.data(), setup.sha256.size()));
    json.Key("patch").Bool(setup.patch).Key("expanded").Bool(setup.expanded);
    json.Key("program_error");
    if (setup.program_fault.empty()) json.Null(); else json.String(setup.program_fault);
    if (setup.expanded) {
      json.Key("stored_size").Number(item.data.size()).Key("cabinet_error");
      if (setup.cabinet_fault.empty()) json.Null(); else json.String(setup.cabinet_fault);
    }
    json.Close();
  }
  json.Key("would_exit");
  if (report.payload.exit_code == 0) {
    json.Null();
  } else {
    json.Number(report.payload.exit_code).Key("extra_code").Number(report.payload.error);
  }
  json.Key("version");
  if (!report.has_version && report.version_strings.empty()) {
    json.Null();
  } else {
    json.Open('{').Key("file_version").String(VersionText(report.file_version));
    json.Key("product_version").String(VersionText(report.product_version));
    json.Key("strings").Open('{');
    for (const auto& [key, value] : report.version_strings) json.Key(key).String(value);
    json.Close().Close();
  }
  json.Key("icon").Open('[');
  for (const auto& [width, height] : report.icon_sizes) {
    json.String(std::to_string(width) + "x" + std::to_string(height));
  }
  json.Close();
  json.Key("stub").Open('{').Key("genuine").Bool(report.stub_release.has_value());
  json.Key("packer_version");
  if (report.stub_release) json.String(*report.stub_release); else json.Null();
  json.Key("digest").String(HexText(report.stub_digest.data(), report.stub_digest.size()));
  json.Key("faults").Open('[');
  for (const std::string& fault : report.stub_faults) json.String(fault);
  json.Close().Close().Key("signature");
  if (!report.signature) {
    if (report.signature_fault.empty()) json.Null(); else json.Open('{').Key("error").String(report.signature_fault).Close();
  } else {
    SignatureJson(json, *report.signature);
  }
  json.Key("load_faults").Open('[');
  for (const std::string& fault : report.image_faults) json.String(fault);
  for (const std::string& fault : report.lookup_faults) json.String(fault);
  json.Close();
  json.Close();
  return json.text();
}

}  // namespace pack
