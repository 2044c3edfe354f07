#include "version_block.h"

#include <cstring>
#include <string_view>

#include "bytes.h"
#include "pack_error.h"
#include "text.h"

namespace pack {

namespace {

constexpr size_t kMostTextUnits = 256;
constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr size_t kFixedSize = 52;  // VS_FIXEDFILEINFO
constexpr size_t kNodeHeader = 6;  // wLength, wValueLength, wType
constexpr int kDeepest = 3;        // VS_VERSIONINFO > StringFileInfo > table > String

size_t Align4(size_t offset) { return (offset + 3) & ~size_t{3}; }

[[noreturn]] void Unreadable(const std::string& why) {
  Fail("the stub's version block cannot be read: " + why);
}

// One node of the block: its key, its value (text nodes count it in UTF-16 units, others in
// bytes) and its children, each node and each value starting on a 32-bit boundary.
struct Node {
  std::u16string key;
  uint16_t type = 0;  // 1 for text
  std::vector<uint8_t> value;
  std::vector<Node> children;
};

Node ParseNode(const std::vector<uint8_t>& data, size_t at, size_t limit, int depth) {
  if (limit - at < kNodeHeader) Unreadable("a node is cut short");
  const size_t length = Get16(&data[at]);
  const size_t value_length = Get16(&data[at + 2]);
  Node node;
  node.type = Get16(&data[at + 4]);
  const size_t end = at + length;
  if (length < kNodeHeader || end > limit) Unreadable("a node's length runs past its parent");
  if (node.type > 1) Unreadable("a node is neither text nor binary");
  size_t key_end = at + kNodeHeader;
  for (;; key_end += 2) {
    if (end - key_end < 2) Unreadable("a key has no terminator");
    const char16_t unit = Get16(&data[key_end]);
    if (unit == 0) break;
    node.key.push_back(unit);
  }
  const size_t value_at = Align4(key_end + 2);
  const size_t value_size = value_length * (node.type == 1 ? 2 : 1);
  if (value_at > end || end - value_at < value_size) Unreadable("a value runs past its node");
  node.value.assign(data.begin() + value_at, data.begin() + value_at + value_size);
  for (size_t child = Align4(value_at + value_size); child < end;) {
    if (depth == kDeepest) Unreadable("nodes are nested too deep");
    node.children.push_back(ParseNode(data, child, end, depth + 1));
    child = Align4(child + Get16(&data[child]));
  }
  return node;
}

// As windres writes it: a node's length ends with its last child, padding between siblings.
void WriteNode(const Node& node, std::vector<uint8_t>* out) {
  const size_t at = out->size();
  out->resize(at + kNodeHeader);
  for (char16_t unit : node.key) {
    out->push_back(static_cast<uint8_t>(unit));
    out->push_back(static_cast<uint8_t>(unit >> 8));
  }
  out->resize(Align4(out->size() + 2));
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const Node& child : node.children) {
    out->resize(Align4(out->size()));
    WriteNode(child, out);
  }
  const size_t length = out->size() - at;
  if (length > 0xFFFF) Fail("the branded version block is longer than a node can say");
  Set16(&(*out)[at], static_cast<uint32_t>(length));
  Set16(&(*out)[at + 2], static_cast<uint32_t>(node.value.size() / (node.type == 1 ? 2 : 1)));
  Set16(&(*out)[at + 4], node.type);
}

std::vector<uint8_t> TextValue(const std::u16string& text) {
  std::vector<uint8_t> value;
  for (char16_t unit : text) {
    value.push_back(static_cast<uint8_t>(unit));
    value.push_back(static_cast<uint8_t>(unit >> 8));
  }
  value.insert(value.end(), 2, 0);  // the terminator, which the value length counts
  return value;
}

}  // namespace

std::u16string CheckedText(const std::string& option, const std::string& utf8) {
  if (utf8.empty()) Fail(option + " is empty");
  std::u16string text;
  if (!Utf8ToUtf16(utf8, &text)) Fail(option + " is not valid UTF-8 text");
  for (char16_t unit : text) {
    if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0)) {
      Fail(option + " holds a control character: give one line of text");
    }
  }
  // The version block's nodes count their bytes in 16 bits: a longer value would not fit.
  if (text.size() > kMostTextUnits) {
    Fail(option + " is " + std::to_string(text.size()) + " UTF-16 units long; at most " +
         std::to_string(kMostTextUnits));
  }
  return text;
}

std::array<uint16_t, 4> VersionNumbers(const std::string& text) {
  std::array<uint16_t, 4> numbers{};
  size_t part = 0;
  size_t digits = 0;
  uint32_t value = 0;
  bool good = true;
  for (size_t i = 0; i <= text.size() && good; ++i) {
    if (i == text.size() || text[i] == '.') {
      good = digits != 0 && value <= 0xFFFF && part < 4;
      if (good) numbers[part++] = static_cast<uint16_t>(value);
      digits = 0;
      value = 0;
    } else if (text[i] >= '0' && text[i] <= '9' && digits < 5) {
      value = value * 10 + static_cast<uint32_t>(text[i] - '0');
      ++digits;
    } else {
      good = false;
    }
  }
  if (!good) {
    Fail("--product-version " + Quoted(text) +
         " is not one to four dot-separated numbers 0-65535 (for example 1.2.3)");
  }
  return numbers;
}

std::vector<uint8_t> BrandVersionBlock(const std::vector<uint8_t>& stub_block,
                                       const Branding& branding) {
  Node root = ParseNode(stub_block, 0, stub_block.size(), 0);
  if (root.key != u"VS_VERSION_INFO") Unreadable("its first key is not VS_VERSION_INFO");
  if (root.value.size() != kFixedSize || root.type != 0 ||
      (root.value[0] | root.value[1] << 8 | root.value[2] << 16 |
       static_cast<uint32_t>(root.value[3]) << 24) != kFixedSignature) {
    Unreadable("it holds no VS_FIXEDFILEINFO");
  }

  // A product's own name and maker belong in the fields Windows shows beside them.
  struct Field {
    const char16_t* key;
    const std::optional<std::u16string>* value;
    std::optional<std::u16string> fallback;
    bool found;
  } fields[] = {
      {u"ProductName", &branding.product_name, std::nullopt, false},
      {u"CompanyName", &branding.company, std::nullopt, false},
      {u"FileDescription", &branding.description, branding.product_name, false},
      {u"LegalCopyright", &branding.copyright,
       branding.company ? std::optional<std::u16string>(u"Copyright (C) " + *branding.company)
                        : std::nullopt,
       false},
      {u"ProductVersion", &branding.product_version, std::nullopt, false},
      {u"FileVersion", &branding.product_version, std::nullopt, false},
  };
  for (Node& info : root.children) {
    if (info.key != u"StringFileInfo") continue;
    for (Node& table : info.children) {
      for (Node& string : table.children) {
        for (Field& field : fields) {
          if (string.key != field.key) continue;
          field.found = true;
          const std::optional<std::u16string>& text = *field.value ? *field.value : field.fallback;
          if (text) string.value = TextValue(*text);
        }
      }
    }
  }
  for (const Field& field : fields) {
    if ((*field.value || field.fallback) && !field.found) {
      Unreadable("it has no " + Utf16ToUtf8(field.key) + " string");
    }
  }

  if (branding.product_version) {
    const std::array<uint16_t, 4>& v = branding.version_numbers;
    const uint32_t most = static_cast<uint32_t>(v[0]) << 16 | v[1];
    const uint32_t least = static_cast<uint32_t>(v[2]) << 16 | v[3];
    // dwFileVersionMS/LS, then dwProductVersionMS/LS, after the signature and structure version.
    for (size_t at : {8, 16}) {
      Set32(&root.value[at], most);
      Set32(&root.value[at + 4], least);
    }
  }

  std::vector<uint8_t> out;
  WriteNode(root, &out);
  return out;
}

}  // namespace pack
