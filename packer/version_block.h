// The version block (VS_VERSIONINFO) the stub carries, branded with the product's own names.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pack {

struct Branding {
  std::optional<std::u16string> product_name;
  std::optional<std::u16string> company;
  std::optional<std::u16string> description;
  std::optional<std::u16string> copyright;
  // The version as given, and its numeric form ("1.2.3" is 1,2,3,0).
  std::optional<std::u16string> product_version;
  std::array<uint16_t, 4> version_numbers{};

  bool empty() const {
    return !product_name && !company && !description && !copyright && !product_version;
  }
};

// A version string given as option `option` ("--company"): one line of Unicode text, not empty,
// at most 256 UTF-16 units. Throws PackError naming the option and the fault.
std::u16string CheckedText(const std::string& option, const std::string& utf8);

// "--product-version" text: one to four dot-separated numbers 0-65535, missing parts 0.
// Throws PackError otherwise.
std::array<uint16_t, 4> VersionNumbers(const std::string& text);

// The stub's own block with the branding applied: ProductName, CompanyName, FileDescription
// (the product name unless a description is given), LegalCopyright ("Copyright (C) <company>"
// unless a copyright is given), ProductVersion and FileVersion with both numeric versions.
// Every other field and the order of the fields stay as the stub has them. Throws PackError when
// the stub's block cannot be read.
std::vector<uint8_t> BrandVersionBlock(const std::vector<uint8_t>& stub_block,
                                       const Branding& branding);

}  // namespace pack
