// Payload resource names, one per input field and in that order, into one pair of slots, against
// a plain model: which slot a name fills, the first rule it breaks, an exact copy on acceptance,
// and on a rejection both slots as they were. The slots' unused characters hold a fill and the
// element past the capacity a guard, so any write beyond a copied name shows.
#include <memory>

#include "fuzz/fuzz_input.h"
#include "payload/payload_names.h"

namespace {

constexpr size_t kMostNames = 64;
constexpr wchar_t kFill = 0xFEFE;
constexpr wchar_t kGuard = 0xFDFD;
const char kImage[kMostNames] = {};

struct Snapshot {
  Text name;  // all kMaxPath + 1 elements
  const void* data;
  uint64_t size;
};

Snapshot Take(const PayloadSlot& slot) {
  return {ToText(slot.name.Get(), kMaxPath + 1), slot.data, slot.size};
}

bool Same(const Snapshot& a, const Snapshot& b) {
  return a.name == b.name && a.data == b.data && a.size == b.size;
}

void Prepare(PayloadSlot& slot) {
  for (size_t i = 1; i < kMaxPath; ++i) slot.name[i] = kFill;
  slot.name[kMaxPath] = kGuard;
}

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool HasPrefix(const Text& name, const Text& prefix) {
  if (name.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Fold(name[i]) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  std::unique_ptr<PayloadResources> resources(new PayloadResources);
  Prepare(resources->archive);
  Prepare(resources->setup);

  // One name per line; a line feed inside a name is written as an escape (see FuzzInput).
  size_t names = 1;
  for (size_t i = 0; i < size; ++i) names += data[i] == '\n' ? 1 : 0;
  for (size_t step = 0; step < names && step < kMostNames; ++step) {
    const Text field = input.Wide();
    const Text name = Cut(field);
    const void* piece = &kImage[step];
    const uint64_t piece_size = (step + 1) * 0x100000001ull;
    const Snapshot archive = Take(resources->archive), setup = Take(resources->setup);

    // The model: the kind by its prefix, then each rule in turn.
    const bool is_archive = HasPrefix(name, u"tamrel");
    const bool is_setup = !is_archive && HasPrefix(name, u"setup");
    const Snapshot& target = is_archive ? archive : setup;
    uint32_t expected = 0;
    if (!is_archive && !is_setup) {
      expected = kErrorInvalidData;
    } else if (target.size != 0) {
      expected = kErrorTooManyNames;
    } else if (name.size() >= kMaxPath) {
      expected = kErrorFilenameExcedRange;
    } else if (name.find_first_of(u"\\/:") != Text::npos) {
      expected = kErrorInvalidName;
    }

    resources->error = 0;
    Slots text = Terminated(field);
    const bool accepted = VisitPayloadResource(*resources, text.get(), piece, piece_size);
    REQUIRE(resources->error == expected, "name %zu \"%s\": error %u, expected %u", step,
            Show(name).c_str(), resources->error, expected);
    REQUIRE(accepted == (expected == 0), "the result agrees with the error");

    if (expected != 0) {
      REQUIRE(Same(Take(resources->archive), archive) && Same(Take(resources->setup), setup),
              "a rejected name leaves both slots as they were");
    } else {
      const Snapshot filled = Take(is_archive ? resources->archive : resources->setup);
      const Snapshot& other_before = is_archive ? setup : archive;
      REQUIRE(Same(Take(is_archive ? resources->setup : resources->archive), other_before),
              "the other slot is left alone");
      REQUIRE(filled.data == piece && filled.size == piece_size, "the piece is recorded");
      REQUIRE(filled.name.substr(0, name.size() + 1) == name + Text(1, u'\0'),
              "the name is copied exactly");
      REQUIRE(filled.name.substr(name.size() + 1) == target.name.substr(name.size() + 1),
              "nothing is written after the name's terminator");
    }
    REQUIRE(resources->archive.name[kMaxPath] == kGuard &&
                resources->setup.name[kMaxPath] == kGuard,
            "nothing is written past a slot's capacity");
  }
  return 0;
}
