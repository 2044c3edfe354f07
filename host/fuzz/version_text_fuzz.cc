// Branding text and the version block it goes into. Fields: which options are given (any of the
// letters n c d r v: product name, company, description, copyright, version), their five UTF-8
// values in that order, then an offset and bytes XORed into a copy of the stub's block there.
// Properties: UTF-8 that is taken converts back to the same bytes; the stub's block branded with
// whatever CheckedText and VersionNumbers took reads back, through the reader below, with exactly
// those values and the stub's other strings; a damaged block is refused or read, never read out
// of bounds.
#include <algorithm>
#include <map>

#include "fuzz/fuzz_input.h"
#include "pack_error.h"
#include "packer_support.h"
#include "text.h"
#include "version_block.h"

namespace {

struct Read {
  uint32_t fixed[4] = {};  // file version MS and LS, product version MS and LS
  std::map<Text, Text> strings;
  bool ok = false;
};

uint32_t Get(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | b[at + i];
  return value;
}

// A version block read as Windows' VerQueryValue walks it: each node's length, its key, its value
// on the next 32-bit boundary, then its children; the strings of every table.
void ReadNode(const std::vector<uint8_t>& b, size_t at, int depth, Read* read) {
  const size_t end = at + Get(b, at, 2), value_length = Get(b, at + 2, 2);
  REQUIRE(end <= b.size() && end >= at + 6, "node at %zu fits its block", at);
  Text key;
  size_t pos = at + 6;
  for (; pos + 2 <= end && Get(b, pos, 2) != 0; pos += 2) key.push_back(Get(b, pos, 2));
  const size_t value_at = (pos + 2 + 3) & ~size_t{3};
  const size_t value_size = value_length * (Get(b, at + 4, 2) == 1 ? 2 : 1);
  REQUIRE(value_at + value_size <= end, "node at %zu holds its value", at);
  if (depth == 0) {
    for (int i = 0; i < 4; ++i) read->fixed[i] = Get(b, value_at + 8 + 4 * i, 4);
  }
  if (depth == 3) {
    Text value;
    for (size_t i = 0; i + 2 < value_size; i += 2) value.push_back(Get(b, value_at + i, 2));
    REQUIRE(value_size >= 2 && Get(b, value_at + value_size - 2, 2) == 0,
            "string value at %zu is terminated", at);
    read->strings[key] = value;
  }
  for (size_t child = (value_at + value_size + 3) & ~size_t{3}; child < end;
       child = (child + Get(b, child, 2) + 3) & ~size_t{3}) {
    ReadNode(b, child, depth + 1, read);
  }
}

Read ReadBlock(const std::vector<uint8_t>& block) {
  Read read;
  REQUIRE(block.size() >= 6 && Get(block, 0, 2) == block.size(), "the root spans the block");
  ReadNode(block, 0, 0, &read);
  return read;
}

std::optional<Text> Taken(const char* option, const std::string& utf8) {
  try {
    return pack::CheckedText(option, utf8);
  } catch (const pack::PackError&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> stub = StubVersionBlock();
  static const Read stub_read = ReadBlock(stub);
  FuzzInput input(data, size);
  const std::string given = input.Bytes();
  std::string values[5];
  for (std::string& value : values) value = input.Bytes();

  for (const std::string& value : values) {
    Text units;
    REQUIRE(!pack::Utf8ToUtf16(value, &units) || pack::Utf16ToUtf8(units) == value,
            "accepted UTF-8 converts back");
  }

  pack::Branding branding;
  const auto wanted = [&](char letter) { return given.find(letter) != std::string::npos; };
  if (wanted('n')) branding.product_name = Taken("--product-name", values[0]);
  if (wanted('c')) branding.company = Taken("--company", values[1]);
  if (wanted('d')) branding.description = Taken("--description", values[2]);
  if (wanted('r')) branding.copyright = Taken("--copyright", values[3]);
  if (wanted('v')) {
    try {
      branding.version_numbers = pack::VersionNumbers(values[4]);
      branding.product_version = Text(values[4].begin(), values[4].end());
      REQUIRE(values[4].find_first_not_of("0123456789.") == std::string::npos,
              "a taken version is digits and dots");
    } catch (const pack::PackError&) {
    }
  }

  const std::vector<uint8_t> branded = pack::BrandVersionBlock(stub, branding);
  const Read read = ReadBlock(branded);
  std::map<Text, Text> expected = stub_read.strings;
  const auto set = [&](const char16_t* key, const std::optional<Text>& value) {
    if (value) expected[key] = *value;
  };
  set(u"ProductName", branding.product_name);
  set(u"FileDescription", branding.product_name);
  set(u"FileDescription", branding.description);
  set(u"CompanyName", branding.company);
  if (branding.company) expected[u"LegalCopyright"] = u"Copyright (C) " + *branding.company;
  set(u"LegalCopyright", branding.copyright);
  set(u"ProductVersion", branding.product_version);
  set(u"FileVersion", branding.product_version);
  REQUIRE(read.strings == expected, "the branded strings read back, the others as the stub's");
  const std::array<uint16_t, 4>& v = branding.version_numbers;
  const uint32_t most = uint32_t{v[0]} << 16 | v[1], least = uint32_t{v[2]} << 16 | v[3];
  const uint32_t* fixed = stub_read.fixed;
  const uint32_t branded_fixed[4] = {most, least, most, least};
  if (branding.product_version) fixed = branded_fixed;
  REQUIRE(std::equal(fixed, fixed + 4, read.fixed), "the numeric versions");
  REQUIRE(pack::BrandVersionBlock(branded, pack::Branding()) == branded,
          "a branded block is written back as it is");

  std::vector<uint8_t> damaged = stub;
  size_t at = input.Number(0xFFFF) % stub.size();
  const std::string flips = input.Bytes();
  for (char flip : flips) damaged[at++ % damaged.size()] ^= static_cast<uint8_t>(flip);
  try {
    pack::BrandVersionBlock(damaged, branding);
  } catch (const pack::PackError&) {
  }
  return 0;
}
