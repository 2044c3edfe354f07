// Registry string values as any query could leave them, against plain models, in buffers exactly
// the capacity the query was given. Input: type, byte count, capacity, the buffer's contents.
#include "fuzz/fuzz_input.h"
#include "launch/registry_string.h"

namespace {

constexpr size_t kLargestCapacity = 600;

// The string StripEnclosingQuotes sees: up to the first zero, at most capacity - 1 characters.
Text Judged(const Text& slots) {
  const size_t limit = slots.size() < 2 ? 0 : slots.size() - 1;
  return Cut(slots.substr(0, limit));
}

void CheckStrip(Slots& buffer) {
  const Text before = buffer.All();
  const Text string = Judged(before);
  StripEnclosingQuotes(buffer.get(), buffer.size());
  const Text after = buffer.All();
  if (string.size() >= 2 && string.front() == u'"' && string.back() == u'"') {
    const Text inner = string.substr(1, string.size() - 2);
    REQUIRE(after.substr(0, inner.size() + 1) == inner + Text(1, u'\0'), "quotes removed");
    // Only the slots of the string moved; the closing quote's slot and all after it stay.
    REQUIRE(after.substr(string.size() - 1) == before.substr(string.size() - 1), "slots after");
  } else {
    REQUIRE(after == before, "a string without enclosing quotes stays as it is");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const uint32_t type = static_cast<uint32_t>(input.Number(UINT32_MAX));
  const uint32_t bytes = static_cast<uint32_t>(input.Number(UINT32_MAX));
  const size_t capacity = input.Number(kLargestCapacity);
  const Text stored = input.Wide();

  Slots buffer(capacity, stored, L'x');
  const Text before = buffer.All();
  const long error = TerminateStringValue(type, bytes, buffer.get(), capacity);

  const size_t characters = bytes / 2;
  long expected = 0;
  Text after = before;  // the buffer as it must read after success
  if (type != kRegistryStringType) {
    expected = kErrorNotSupported;
  } else if (characters > capacity) {
    expected = kErrorMoreData;
  } else if (characters == 0 || before[characters - 1] != 0) {
    // Only the data's last character says whether it came with its terminator; a zero inside
    // ends the string but is no terminator of the stored value.
    if (characters == capacity) {
      expected = kErrorMoreData;
    } else {
      after[characters] = 0;
    }
  }
  REQUIRE(error == expected, "type %u, %u bytes, capacity %zu: %ld", type, bytes, capacity, error);
  REQUIRE(buffer.All() == (error == 0 ? after : before),
          "written: the terminator after the data on success, nothing on an error");

  // The uninstall command's quotes come off a value read that way, and off anything else too.
  if (error == 0) CheckStrip(buffer);
  Slots raw(capacity, stored, L'x');
  CheckStrip(raw);
  return 0;
}
