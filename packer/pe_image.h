// The prebuilt stub image and the installer written from it: the stub's sections copied as
// they are, a new resource section last, and the headers that depend on it fixed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_io.h"
#include "image_writer.h"
#include "resource_tree.h"

namespace pack {

// The largest image a PE32+ file may describe: the loader refuses anything of 2 GB or more.
constexpr uint64_t kMaxImageSize = 0x7FFFFFFFull;

// Offsets in a PE32+ optional header of the two fields a signing tool rewrites: the checksum,
// and the certificate table's entry among the data directories.
constexpr uint32_t kCheckSumField = 64;
constexpr uint32_t kSecurityEntryField = 112 + 8 * 4;
// The optional header's magic for PE32+, and the data directories the packer and the reader use.
constexpr uint16_t kPe32Plus = 0x20B;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kRelocationDirectory = 5;

class StubImage {
 public:
  // Reads the headers and sections of the image; fails on anything the packer cannot rewrite.
  StubImage(const uint8_t* bytes, size_t size);

  // The stub's own resources: the icon group, the manifest, the version block.
  std::vector<ResourceEntry> Resources() const;

  // The installer's image size (SizeOfImage) with a resource section of `resource_size` bytes.
  uint64_t ImageSize(uint64_t resource_size) const;

  // Writes the whole installer: headers, the stub's sections, the resources; then the
  // checksum. `finish_deferred` gives the size of the resource written last (see ResourceTree).
  void Write(OutputFile& out, ResourceTree& resources,
             const std::function<uint64_t()>& finish_deferred) const;

  // What Write() writes, for a reader to hold an installer against: the headers for a resource
  // section of `resource_size` bytes (the checksum field zero), the stub's bytes it copies
  // unchanged and where each lands, and where the resource section begins in the file.
  struct Piece {
    std::string name;  // the section's
    bool relocations = false;
    uint32_t offset = 0;  // in the installer's file
    uint32_t rva = 0;     // in the installer's image
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
  };
  std::vector<uint8_t> Headers(uint64_t resource_size) const;
  std::vector<Piece> Pieces() const;
  uint32_t ResourceSectionOffset() const;
  uint32_t file_alignment() const { return file_alignment_; }

 private:
  struct Section {
    char name[8];
    uint32_t virtual_size, virtual_address, raw_size, raw_pointer, characteristics;
  };

  const uint8_t* bytes_;
  uint32_t pe_offset_ = 0;         // "PE\0\0"
  uint32_t optional_offset_ = 0;   // the optional header
  uint32_t section_table_ = 0;     // the first section header
  uint32_t headers_size_ = 0;
  uint32_t file_alignment_ = 0;
  uint32_t section_alignment_ = 0;
  std::vector<Section> sections_;  // the sections kept, in order, before the resources
  Section resources_{};            // the stub's own resource section
  Section relocations_{};          // the base relocations, moved to where the resources were
  bool has_relocations_ = false;

  uint32_t resources_start_rva_ = 0;   // where the moved relocations and then resources begin
  uint32_t resources_start_file_ = 0;

  // Where the installer's resource section begins, after the moved relocations.
  uint32_t ResourceSectionRva() const;
};

}  // namespace pack
