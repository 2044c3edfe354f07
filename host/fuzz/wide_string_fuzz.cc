// Every bounded string helper on one input, each against a plain model and in buffers exactly as
// large as it may use. Input: capacity, text a, text b, bytes to encode (see fuzz_input.h).
#include "fuzz/fuzz_input.h"
#include "support/wide_string.h"

namespace {

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? c | 0x20 : c; }

bool EqualFolded(const Text& a, const Text& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

// The length the helpers see in `slots` slots of which `capacity` may be used.
size_t ModelLength(const Text& slots, size_t capacity) {
  if (capacity < 2) return 0;
  const size_t zero = slots.find(u'\0');
  return zero < capacity - 1 ? zero : capacity - 1;
}

void CheckLength(size_t capacity, const Text& a) {
  // Slot capacity - 1 is never read, so it does not exist here.
  Slots slots(capacity < 2 ? 0 : capacity - 1, a, L'x');
  const Text held = slots.All();
  REQUIRE(SafeStrLen(slots.get(), capacity) == ModelLength(held, capacity), "capacity %zu",
          capacity);
}

void CheckCopy(size_t capacity, const Text& source, const Text& before) {
  Slots destination(capacity, before);
  const Text original = destination.All();
  Slots from = Terminated(source);
  const Text string = Cut(source);
  const bool fits = capacity > 0 && string.size() < capacity;
  REQUIRE(SafeStrCopy(destination.get(), capacity, from.get()) == fits, "capacity %zu", capacity);
  if (fits) {
    REQUIRE(ToText(destination.get()) == string, "copied text");
    // Slots after the terminator keep what they held.
    REQUIRE(destination.All().substr(string.size() + 1) == original.substr(string.size() + 1),
            "slots after the copy");
  } else if (capacity > 0) {
    REQUIRE(destination[0] == 0, "a failed copy leaves the empty string");
  }
}

void CheckOverlappingCopy(const Text& source, size_t offset_seed) {
  Slots buffer = Terminated(source);
  const Text string = Cut(source);
  const size_t offset = offset_seed % (string.size() + 1);
  REQUIRE(SafeStrCopy(buffer.get(), buffer.size(), buffer.get() + offset), "overlap");
  REQUIRE(ToText(buffer.get()) == string.substr(offset), "overlap at %zu", offset);
}

void CheckAppend(size_t capacity, const Text& held, const Text& source) {
  Slots destination(capacity, held);
  const Text before = destination.All();
  const size_t start = ModelLength(before, capacity);
  Slots from = Terminated(source);
  const Text string = Cut(source);
  const bool fits = capacity > 0 && string.size() < capacity - start;
  REQUIRE(SafeStrCat(destination.get(), capacity, from.get()) == fits, "capacity %zu start %zu",
          capacity, start);
  if (capacity == 0) return;
  const Text after = destination.All();
  // Nothing before the old end changes, whatever the outcome.
  REQUIRE(after.substr(0, start) == before.substr(0, start), "slots before the end");
  if (fits) {
    REQUIRE(after.substr(start, string.size() + 1) == string + Text(1, u'\0'), "appended text");
  } else {
    REQUIRE(after[start] == 0, "a failed append leaves the string as it was");
  }
}

void CheckMatching(const Text& a, const Text& b) {
  Slots text = Terminated(a), pattern = Terminated(b);
  const Text string = Cut(a), prefix = Cut(b);
  const bool starts =
      prefix.size() <= string.size() && EqualFolded(string.substr(0, prefix.size()), prefix);
  REQUIRE(StrStartsWithI(text.get(), pattern.get()) == starts, "starts with");

  ptrdiff_t expected = -1;
  if (prefix.empty()) {
    expected = 0;
  } else {
    for (size_t at = 0; at + prefix.size() <= string.size(); ++at) {
      if (EqualFolded(string.substr(at, prefix.size()), prefix)) {
        expected = static_cast<ptrdiff_t>(at);
        break;
      }
    }
  }
  const wchar_t* found = SearchStringI(text.get(), pattern.get());
  REQUIRE((found == nullptr ? -1 : found - text.get()) == expected, "search");
}

void CheckPathName(const Text& path) {
  // Exactly `length` slots: path[length] is not there to be read.
  Slots slots(path.size(), path);
  const size_t backslash = path.rfind(u'\\');
  const size_t expected = backslash == Text::npos ? 0 : backslash + 1;
  REQUIRE(GetNameFromPathExt(slots.get(), path.size()) == slots.get() + expected, "name");
}

void CheckHex(size_t capacity, const std::string& bytes) {
  Slots output(capacity);
  const bool fits = capacity >= 2 * bytes.size() + 1;
  REQUIRE(HexEncode(bytes.data(), bytes.size(), output.get(), capacity) == fits, "hex fits");
  if (!fits) {
    REQUIRE(output.All() == Text(capacity, u'#'), "a failed encoding writes nothing");
    return;
  }
  static const char kDigits[] = "0123456789ABCDEF";
  Text expected;
  for (unsigned char b : bytes) {
    expected.push_back(kDigits[b >> 4]);
    expected.push_back(kDigits[b & 0x0F]);
  }
  REQUIRE(ToText(output.get()) == expected, "hex text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const size_t capacity = input.Number(kMaxCommandLine + 8);
  const Text a = input.Wide();
  const Text b = input.Wide();
  const std::string bytes = input.Bytes();

  CheckLength(capacity, a);
  CheckCopy(capacity, a, b);
  CheckOverlappingCopy(a, capacity);
  CheckAppend(capacity, b, a);
  CheckMatching(a, b);
  CheckPathName(a);
  CheckHex(capacity, bytes);
  return 0;
}
