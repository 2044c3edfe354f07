#include "pe_image.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "pack_error.h"

namespace pack {
namespace {

constexpr uint32_t kSectionHeader = 40;
constexpr uint32_t kInitializedData = 0x00000040u;
// Initialised data, readable and nothing else, as resource compilers write it. The linked stub's
// .rsrc is also writable, and Windows charges commit for every writable page of an image: a
// 1 GB installer would hold 1 GB of commit while it runs. The stub only reads its resources.
constexpr uint32_t kReadOnlyData = 0x40000040u;
// Fields of the PE32+ optional header, by their offset in it.
constexpr uint32_t kSizeOfInitializedData = 8;
constexpr uint32_t kSectionAlignment = 32;
constexpr uint32_t kFileAlignment = 36;
constexpr uint32_t kSizeOfImage = 56;
constexpr uint32_t kSizeOfHeaders = 60;
constexpr uint32_t kNumberOfRvaAndSizes = 108;
constexpr uint32_t kDataDirectories = 112;

[[noreturn]] void Damaged(const char* what) {
  Fail(std::string("the stub image carried by this packer is unusable: ") + what);
}

}  // namespace

StubImage::StubImage(const uint8_t* bytes, size_t size) : bytes_(bytes) {
  if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') Damaged("no DOS header");
  pe_offset_ = Get32(bytes + 0x3C);
  if (pe_offset_ > size - 24 || std::memcmp(bytes + pe_offset_, "PE\0\0", 4) != 0) {
    Damaged("no PE header");
  }
  const uint8_t* file_header = bytes + pe_offset_ + 4;
  uint16_t section_count = Get16(file_header + 2);
  uint16_t optional_size = Get16(file_header + 16);
  optional_offset_ = pe_offset_ + 24;
  if (optional_offset_ + optional_size > size || optional_size < kDataDirectories + 16 * 6) {
    Damaged("short optional header");
  }
  const uint8_t* optional = bytes + optional_offset_;
  if (Get16(optional) != kPe32Plus) Damaged("not PE32+");
  if (Get32(optional + kNumberOfRvaAndSizes) <= kRelocationDirectory) Damaged("few directories");
  const uint8_t* security = optional + kSecurityEntryField;
  if (Get32(security) != 0 || Get32(security + 4) != 0) Damaged("already signed");
  file_alignment_ = Get32(optional + kFileAlignment);
  section_alignment_ = Get32(optional + kSectionAlignment);
  headers_size_ = Get32(optional + kSizeOfHeaders);
  // Everything the writer lays out is rounded to these: they must be what a loader takes.
  const auto power_of_two = [](uint32_t value) { return value != 0 && (value & (value - 1)) == 0; };
  if (!power_of_two(file_alignment_) || !power_of_two(section_alignment_) ||
      section_alignment_ < file_alignment_) {
    Damaged("alignments");
  }
  section_table_ = optional_offset_ + optional_size;
  if (section_table_ + kSectionHeader * section_count > headers_size_ || headers_size_ > size) {
    Damaged("section table");
  }

  bool found_resources = false;
  for (uint16_t i = 0; i < section_count; ++i) {
    const uint8_t* header = bytes + section_table_ + kSectionHeader * i;
    Section section;
    std::memcpy(section.name, header, 8);
    section.virtual_size = Get32(header + 8);
    section.virtual_address = Get32(header + 12);
    section.raw_size = Get32(header + 16);
    section.raw_pointer = Get32(header + 20);
    section.characteristics = Get32(header + 36);
    if (section.raw_pointer + static_cast<uint64_t>(section.raw_size) > size) {
      Damaged("section outside the file");
    }
    if (std::memcmp(section.name, ".rsrc\0\0\0", 8) == 0) {
      resources_ = section;
      found_resources = true;
    } else if (found_resources) {
      // Only the base relocations may follow the resources: their blocks name pages of the
      // other sections, so they can move without a change inside them.
      if (std::memcmp(section.name, ".reloc\0\0", 8) != 0 || has_relocations_) {
        Damaged("a section other than .reloc after .rsrc");
      }
      relocations_ = section;
      has_relocations_ = true;
    } else {
      sections_.push_back(section);
    }
  }
  if (!found_resources) Damaged("no resource section");
  resources_start_rva_ = resources_.virtual_address;
  resources_start_file_ = resources_.raw_pointer;
  if (has_relocations_) {
    const uint8_t* directory = optional + kDataDirectories + 8 * kRelocationDirectory;
    if (Get32(directory) != relocations_.virtual_address) Damaged("relocation directory");
  }
}

std::vector<ResourceEntry> StubImage::Resources() const {
  return ReadResourceSection(bytes_ + resources_.raw_pointer, resources_.virtual_size,
                             resources_.virtual_address);
}

namespace {
uint64_t RelocationsSpan(bool has, uint32_t virtual_size, uint64_t alignment) {
  return has ? AlignUp(virtual_size, alignment) : 0;
}
}  // namespace

uint32_t StubImage::ResourceSectionRva() const {
  return static_cast<uint32_t>(
      resources_start_rva_ +
      RelocationsSpan(has_relocations_, relocations_.virtual_size, section_alignment_));
}

uint32_t StubImage::ResourceSectionOffset() const {
  return static_cast<uint32_t>(
      resources_start_file_ +
      RelocationsSpan(has_relocations_, relocations_.raw_size, file_alignment_));
}

uint64_t StubImage::ImageSize(uint64_t resource_size) const {
  return ResourceSectionRva() + AlignUp(resource_size, section_alignment_);
}

std::vector<uint8_t> StubImage::Headers(uint64_t resource_size) const {
  Section relocations = relocations_;
  relocations.virtual_address = resources_start_rva_;
  relocations.raw_pointer = resources_start_file_;
  Section rsrc = resources_;
  rsrc.virtual_address = ResourceSectionRva();
  rsrc.raw_pointer = ResourceSectionOffset();
  rsrc.virtual_size = static_cast<uint32_t>(resource_size);
  rsrc.raw_size = static_cast<uint32_t>(AlignUp(resource_size, file_alignment_));
  rsrc.characteristics = kReadOnlyData;

  std::vector<Section> order = sections_;
  if (has_relocations_) order.push_back(relocations);
  order.push_back(rsrc);

  std::vector<uint8_t> headers(bytes_, bytes_ + headers_size_);
  uint8_t* optional = headers.data() + optional_offset_;
  for (size_t i = 0; i < order.size(); ++i) {
    uint8_t* header = headers.data() + section_table_ + kSectionHeader * i;
    const Section& section = order[i];
    std::memcpy(header, section.name, 8);
    Set32(header + 8, section.virtual_size);
    Set32(header + 12, section.virtual_address);
    Set32(header + 16, section.raw_size);
    Set32(header + 20, section.raw_pointer);
    Set32(header + 36, section.characteristics);
  }
  uint32_t initialized = 0;
  for (const Section& section : order) {
    if (section.characteristics & kInitializedData) initialized += section.raw_size;
  }
  Set32(optional + kSizeOfInitializedData, initialized);
  Set32(optional + kSizeOfImage, static_cast<uint32_t>(ImageSize(resource_size)));
  Set32(optional + kCheckSumField, 0);
  Set32(optional + kDataDirectories + 8 * kResourceDirectory, rsrc.virtual_address);
  Set32(optional + kDataDirectories + 8 * kResourceDirectory + 4, rsrc.virtual_size);
  if (has_relocations_) {
    Set32(optional + kDataDirectories + 8 * kRelocationDirectory, relocations.virtual_address);
  }
  return headers;
}

std::vector<StubImage::Piece> StubImage::Pieces() const {
  std::vector<Piece> pieces;
  auto add = [&](const Section& section, uint32_t offset, uint32_t rva, bool relocations) {
    Piece piece;
    piece.name.assign(section.name, std::find(section.name, section.name + 8, '\0'));
    piece.relocations = relocations;
    piece.offset = offset;
    piece.rva = rva;
    piece.bytes = bytes_ + section.raw_pointer;
    piece.size = section.raw_size;
    pieces.push_back(std::move(piece));
  };
  for (const Section& section : sections_) {
    // A section of zeros only (.bss) has no bytes in the file, and a raw pointer of 0.
    if (section.raw_size != 0) add(section, section.raw_pointer, section.virtual_address, false);
  }
  if (has_relocations_) add(relocations_, resources_start_file_, resources_start_rva_, true);
  return pieces;
}

void StubImage::Write(OutputFile& out, ResourceTree& resources,
                      const std::function<uint64_t()>& finish_deferred) const {
  const uint64_t rsrc_file = ResourceSectionOffset();
  // The headers name the resource section's size, final only once the deferred resource is in.
  std::vector<uint8_t> headers = Headers(resources.size());
  ImageWriter writer(out);
  writer.WriteUnfolded(headers.data(), headers.size());
  for (const Piece& piece : Pieces()) {
    writer.PadTo(piece.offset);
    writer.Write(piece.bytes, piece.size);
  }
  writer.PadTo(rsrc_file);
  resources.Write(writer, ResourceSectionRva(), finish_deferred);
  writer.PadTo(rsrc_file + AlignUp(resources.size(), file_alignment_));
  headers = Headers(resources.size());
  writer.Rewrite(0, headers.data(), headers.size());

  uint8_t checksum[4];
  Set32(checksum, writer.Checksum());
  out.WriteAt(optional_offset_ + kCheckSumField, checksum, 4);
}

}  // namespace pack
