#include "resource_tree.h"

#include <algorithm>
#include <tuple>

#include "bytes.h"
#include "pack_error.h"
#include "image_writer.h"
#include "text.h"

namespace pack {
namespace {

constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kNamed = 0x80000000u;
constexpr uint64_t kDirectoryHeader = 16;
constexpr uint64_t kDirectoryEntry = 8;
constexpr uint64_t kDataEntry = 16;
// Each resource's bytes start on an eight-byte boundary, as resource compilers place them.
constexpr uint64_t kDataAlignment = 8;

// The groups of one level: [first, last) runs of entries sharing the key the level sorts by.
template <typename SameGroup>
std::vector<std::pair<size_t, size_t>> Runs(size_t first, size_t last, SameGroup same) {
  std::vector<std::pair<size_t, size_t>> runs;
  for (size_t i = first; i < last;) {
    size_t j = i + 1;
    while (j < last && same(i, j)) ++j;
    runs.emplace_back(i, j);
    i = j;
  }
  return runs;
}

uint64_t StringSize(const ResourceKey& key) { return key.is_name ? 2 + 2 * key.name.size() : 0; }

}  // namespace

bool ResourceKey::operator<(const ResourceKey& other) const {
  if (is_name != other.is_name) return is_name;
  if (is_name) return name < other.name;
  return id < other.id;
}

bool ResourceKey::operator==(const ResourceKey& other) const {
  return is_name == other.is_name && (is_name ? name == other.name : id == other.id);
}

std::string ResourceKey::Text() const {
  return is_name ? Utf16ToUtf8(name) : std::to_string(id);
}

ResourceTree::ResourceTree(std::vector<ResourceEntry> entries) : entries_(std::move(entries)) {
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const ResourceEntry& a, const ResourceEntry& b) {
                     if (!(a.type == b.type)) return a.type < b.type;
                     if (!(a.name == b.name)) return a.name < b.name;
                     return a.language < b.language;
                   });
  for (size_t i = 1; i < entries_.size(); ++i) {
    const ResourceEntry& a = entries_[i - 1];
    const ResourceEntry& b = entries_[i];
    if (a.type == b.type && a.name == b.name && a.language == b.language) {
      Fail("resource " + a.type.Text() + " " + a.name.Text() + " given twice");
    }
  }

  // Directories first (the root, then every type's, then every name's), then the strings they
  // name, then one data entry per resource, then the resources' bytes.
  const size_t n = entries_.size();
  auto same_type = [&](size_t i, size_t j) { return entries_[i].type == entries_[j].type; };
  uint64_t directories = kDirectoryHeader;
  uint64_t strings = 0;
  for (auto [first, last] : Runs(0, n, same_type)) {
    directories += kDirectoryEntry + kDirectoryHeader;
    strings += StringSize(entries_[first].type);
    auto same_name = [&](size_t i, size_t j) { return entries_[i].name == entries_[j].name; };
    for (auto [name_first, name_last] : Runs(first, last, same_name)) {
      directories += kDirectoryEntry + kDirectoryHeader + kDirectoryEntry * (name_last - name_first);
      strings += StringSize(entries_[name_first].name);
    }
  }
  directories_size_ = directories;
  strings_size_ = strings;
  data_entries_offset_ = AlignUp(directories + strings, 4);
  data_offset_ = AlignUp(data_entries_offset_ + kDataEntry * n, kDataAlignment);
  for (bool deferred : {false, true}) {
    for (size_t i = 0; i < n; ++i) {
      if (entries_[i].source.deferred == deferred) data_order_.push_back(i);
    }
  }
  Layout();
}

void ResourceTree::Layout() {
  data_at_.assign(entries_.size(), 0);
  uint64_t end = data_offset_;
  for (size_t i : data_order_) {
    data_at_[i] = AlignUp(end, kDataAlignment);
    end = data_at_[i] + entries_[i].source.size;
  }
  size_ = end;
}

uint64_t ResourceTree::SizeWith(uint64_t deferred_size) const {
  uint64_t size = size_;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].source.deferred) size = data_at_[i] + deferred_size;
  }
  return size;
}

std::vector<uint8_t> ResourceTree::Head(uint32_t section_rva) const {
  const size_t n = entries_.size();
  std::vector<uint8_t> head;
  head.reserve(static_cast<size_t>(data_offset_));
  std::vector<uint8_t> strings;
  uint64_t next_directory = 0;
  const uint64_t strings_offset = directories_size_;

  auto put_name = [&](const ResourceKey& key) -> uint32_t {
    if (!key.is_name) return key.id;
    uint32_t at = static_cast<uint32_t>(strings_offset + strings.size());
    Put16(strings, static_cast<uint32_t>(key.name.size()));
    for (char16_t unit : key.name) Put16(strings, unit);
    return kNamed | at;
  };
  // A directory table: its header and entries, each entry's target filled in by `target`.
  auto put_directory = [&](const std::vector<std::pair<size_t, size_t>>& runs, auto key_of,
                           auto target) {
    size_t named = 0;
    for (auto& run : runs) named += key_of(run.first).is_name ? 1 : 0;
    Put32(head, 0);  // characteristics
    Put32(head, 0);  // time stamp: none, so that the same inputs give the same bytes
    Put32(head, 0);  // version
    Put16(head, static_cast<uint32_t>(named));
    Put16(head, static_cast<uint32_t>(runs.size() - named));
    for (auto& run : runs) {
      Put32(head, put_name(key_of(run.first)));
      Put32(head, target(run));
    }
  };

  // Offsets of every directory are known from the counts alone: lay them out breadth first.
  auto same_type = [&](size_t i, size_t j) { return entries_[i].type == entries_[j].type; };
  auto types = Runs(0, n, same_type);
  std::vector<std::vector<std::pair<size_t, size_t>>> names_of_type;
  for (auto [first, last] : types) {
    names_of_type.push_back(Runs(first, last, [&](size_t i, size_t j) {
      return entries_[i].name == entries_[j].name;
    }));
  }
  next_directory = kDirectoryHeader + kDirectoryEntry * types.size();
  std::vector<uint64_t> type_directory(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    type_directory[t] = next_directory;
    next_directory += kDirectoryHeader + kDirectoryEntry * names_of_type[t].size();
  }
  std::vector<std::vector<uint64_t>> name_directory(types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    for (auto [first, last] : names_of_type[t]) {
      name_directory[t].push_back(next_directory);
      next_directory += kDirectoryHeader + kDirectoryEntry * (last - first);
    }
  }

  size_t type_index = 0;
  put_directory(types, [&](size_t i) -> const ResourceKey& { return entries_[i].type; },
                [&](const std::pair<size_t, size_t>&) {
                  return kSubdirectory | static_cast<uint32_t>(type_directory[type_index++]);
                });
  for (size_t t = 0; t < types.size(); ++t) {
    size_t name_index = 0;
    put_directory(names_of_type[t],
                  [&](size_t i) -> const ResourceKey& { return entries_[i].name; },
                  [&](const std::pair<size_t, size_t>&) {
                    return kSubdirectory |
                           static_cast<uint32_t>(name_directory[t][name_index++]);
                  });
  }
  for (size_t t = 0; t < types.size(); ++t) {
    for (auto [first, last] : names_of_type[t]) {
      std::vector<std::pair<size_t, size_t>> languages;
      for (size_t i = first; i < last; ++i) languages.emplace_back(i, i + 1);
      Put32(head, 0);
      Put32(head, 0);
      Put32(head, 0);
      Put16(head, 0);
      Put16(head, static_cast<uint32_t>(languages.size()));
      for (auto [i, unused] : languages) {
        (void)unused;
        Put32(head, entries_[i].language);
        Put32(head, static_cast<uint32_t>(data_entries_offset_ + kDataEntry * i));
      }
    }
  }
  if (head.size() != directories_size_) Fail("internal error: resource directory size");
  head.insert(head.end(), strings.begin(), strings.end());
  if (head.size() != directories_size_ + strings_size_) Fail("internal error: resource strings");
  head.resize(static_cast<size_t>(data_entries_offset_), 0);

  for (size_t i = 0; i < n; ++i) {
    Put32(head, static_cast<uint32_t>(section_rva + data_at_[i]));
    Put32(head, static_cast<uint32_t>(entries_[i].source.size));
    Put32(head, entries_[i].code_page);
    Put32(head, 0);
  }
  head.resize(static_cast<size_t>(data_offset_), 0);
  return head;
}

void ResourceTree::Write(ImageWriter& out, uint32_t section_rva,
                         const std::function<uint64_t()>& finish_deferred) {
  // The directory as far as it is known now, then again once the deferred size is in.
  const uint64_t start = out.offset();
  std::vector<uint8_t> head = Head(section_rva);
  out.WriteUnfolded(head.data(), head.size());

  for (size_t i : data_order_) {
    ResourceSource& source = entries_[i].source;
    if (source.deferred) {
      source.size = finish_deferred();
      Layout();
    }
    out.PadTo(start + data_at_[i]);
    if (source.file != nullptr) {
      out.Copy(*source.file, source.size);
      source.file->ExpectEnd();
    } else if (source.written != nullptr) {
      out.Copy(*source.written, source.size);
    } else {
      out.Write(source.bytes.data(), source.bytes.size());
    }
  }
  if (out.offset() - start != size_) Fail("internal error: resource section size");
  head = Head(section_rva);
  out.Rewrite(start, head.data(), head.size());
}

std::vector<ResourceEntry> ReadResourceSection(const uint8_t* section, size_t size,
                                               uint32_t section_rva) {
  auto check = [&](uint64_t offset, uint64_t length) {
    if (offset > size || length > size - offset) Fail("the stub's resource section is damaged");
  };
  auto key_at = [&](uint32_t field) {
    if (!(field & kNamed)) return ResourceKey::Id(static_cast<uint16_t>(field));
    uint32_t offset = field & ~kNamed;
    check(offset, 2);
    uint16_t length = Get16(section + offset);
    check(offset + 2, 2ull * length);
    std::u16string name;
    for (uint16_t i = 0; i < length; ++i) name += static_cast<char16_t>(Get16(section + offset + 2 + 2 * i));
    return ResourceKey::Name(name);
  };
  auto entries_of = [&](uint32_t offset) {
    check(offset, kDirectoryHeader);
    uint32_t count = Get16(section + offset + 12) + Get16(section + offset + 14);
    check(offset + kDirectoryHeader, kDirectoryEntry * count);
    std::vector<std::pair<uint32_t, uint32_t>> list;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* entry = section + offset + kDirectoryHeader + kDirectoryEntry * i;
      list.emplace_back(Get32(entry), Get32(entry + 4));
    }
    return list;
  };
  std::vector<ResourceEntry> result;
  for (auto [type_field, type_target] : entries_of(0)) {
    if (!(type_target & kSubdirectory)) Fail("the stub's resource section is damaged");
    for (auto [name_field, name_target] : entries_of(type_target & ~kSubdirectory)) {
      if (!(name_target & kSubdirectory)) Fail("the stub's resource section is damaged");
      for (auto [language, data_entry] : entries_of(name_target & ~kSubdirectory)) {
        if (data_entry & kSubdirectory) Fail("the stub's resource section is damaged");
        check(data_entry, kDataEntry);
        uint32_t rva = Get32(section + data_entry);
        uint32_t length = Get32(section + data_entry + 4);
        if (rva < section_rva) Fail("the stub's resource section is damaged");
        check(rva - section_rva, length);
        ResourceEntry entry;
        entry.type = key_at(type_field);
        entry.name = key_at(name_field);
        entry.language = static_cast<uint16_t>(language);
        entry.code_page = Get32(section + data_entry + 8);
        entry.source.bytes.assign(section + (rva - section_rva),
                                  section + (rva - section_rva) + length);
        entry.source.size = length;
        result.push_back(std::move(entry));
      }
    }
  }
  return result;
}

}  // namespace pack
