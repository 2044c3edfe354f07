// The resource section: the stub's own entries, the branding and the payload, laid out as
// Windows' lookup expects, with the payload's bytes streamed in from their files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_io.h"

namespace pack {

// The resource types and ids of the stub's own resources, and their language.
constexpr uint16_t kRtIcon = 3;
constexpr uint16_t kRtRcData = 10;
constexpr uint16_t kRtGroupIcon = 14;
constexpr uint16_t kRtVersion = 16;
constexpr uint16_t kIconGroup = 107;
constexpr uint16_t kEnglishUs = 1033;

// A resource type or name: an integer id, or a string stored in upper case.
struct ResourceKey {
  bool is_name = false;
  uint16_t id = 0;
  std::u16string name;

  static ResourceKey Id(uint16_t id) { return ResourceKey{false, id, {}}; }
  static ResourceKey Name(std::u16string name) { return ResourceKey{true, 0, std::move(name)}; }
  // Windows searches named entries by binary search over their UTF-16 units, before the ids,
  // which it searches in ascending order: this is that order.
  bool operator<(const ResourceKey& other) const;
  bool operator==(const ResourceKey& other) const;
  std::string Text() const;  // for messages: "BL", "SETUP.EX_", "16"
};

// Where an entry's bytes come from: bytes held here (small: the stub's own resources, the
// branding), an input file streamed once, or a temporary file this run wrote (the cabinet).
struct ResourceSource {
  uint64_t size = 0;
  std::vector<uint8_t> bytes;
  InputFile* file = nullptr;
  OutputFile* written = nullptr;
  // Made while the rest is written (the cabinet): its size is known only at the end, so its
  // bytes come last in the section.
  bool deferred = false;
};

struct ResourceEntry {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  uint32_t code_page = 0;
  ResourceSource source;
};

// Streams bytes into the installer, folding them into its checksum as they go.
class ImageWriter;

class ResourceTree {
 public:
  // Takes the entries in any order; fails on the same type, name and language twice.
  explicit ResourceTree(std::vector<ResourceEntry> entries);

  // The section's size once laid out (directories, strings, data entries, then the data, each
  // piece aligned): known before anything is written, so that limits are checked first.
  uint64_t size() const { return size_; }
  // Writes the whole section, whose first byte lies at `section_rva` in the image. The deferred
  // entry's bytes go last: `finish_deferred` waits for them and returns their size, then the
  // directory is written again with it. size() is final after Write().
  void Write(ImageWriter& out, uint32_t section_rva,
             const std::function<uint64_t()>& finish_deferred);
  // The size with the deferred entry as large as `deferred_size`.
  uint64_t SizeWith(uint64_t deferred_size) const;

  const std::vector<ResourceEntry>& entries() const { return entries_; }

 private:
  std::vector<ResourceEntry> entries_;  // sorted by type, name, language
  uint64_t directories_size_ = 0;
  uint64_t strings_size_ = 0;
  uint64_t data_entries_offset_ = 0;
  uint64_t data_offset_ = 0;
  uint64_t size_ = 0;
  std::vector<uint64_t> data_at_;  // each entry's bytes, from the section's start
  std::vector<size_t> data_order_;  // entries in the order their bytes follow: the deferred last

  void Layout();  // data_at_ and size_, from the sizes known so far
  std::vector<uint8_t> Head(uint32_t section_rva) const;
};

// The entries of a resource section as it is in an image (the stub's own), their bytes copied.
// `section` holds the section's raw bytes; `section_rva` is where it is mapped.
std::vector<ResourceEntry> ReadResourceSection(const uint8_t* section, size_t size,
                                               uint32_t section_rva);

}  // namespace pack
