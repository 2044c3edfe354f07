// The packer's digests: known answers, and the processor's SHA extensions against the plain code
// for every way an input can fall across the 64-byte blocks.
#include <string>
#include <vector>

#include "sha256.h"

#include "harness.h"

namespace {

std::string Sha256Hex(const std::string& text, size_t piece) {
  pack::Sha256 digest;
  for (size_t at = 0; at < text.size(); at += piece) {
    digest.Update(text.data() + at, std::min(piece, text.size() - at));
  }
  const auto sum = digest.Finish();
  return pack::HexText(sum.data(), sum.size());
}

}  // namespace

HOST_TEST(Sha256GivesTheKnownAnswersByBothRoutes) {
  const struct {
    const char* label;
    std::string text;
    const char* sha256;
  } cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool extended : {false, true}) {
    pack::Sha256::UseExtensions(extended);
    for (const auto& c : cases) {
      for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1000000}}) {
        CHECK(Sha256Hex(c.text, piece) == c.sha256,
              std::string(c.label) + (extended ? ", extended" : ", plain") + ", pieces of " +
                  std::to_string(piece));
      }
    }
  }
  pack::Sha256::UseExtensions(true);
}

HOST_TEST(Sha256ExtensionsAgreeWithThePlainCodeAtEveryLength) {
  if (!pack::Sha256::Extensions()) return;  // nothing to compare on this processor
  std::string text;
  uint32_t seed = 1;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  for (size_t length = 0; length <= text.size(); length += 7) {
    const std::string part = text.substr(0, length);
    pack::Sha256::UseExtensions(false);
    const std::string plain = Sha256Hex(part, 100);
    pack::Sha256::UseExtensions(true);
    CHECK(Sha256Hex(part, 100) == plain, "length " + std::to_string(length));
  }
}
