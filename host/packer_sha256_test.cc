// The packer's SHA-256: known answers by the plain code and by the processor's SHA extensions,
// fed in pieces that fall every way across the 64-byte blocks.
#include <string>

#include "sha256.h"

#include "harness.h"

HOST_TEST(Sha256GivesTheKnownAnswersByBothRoutes) {
  const struct {
    std::string text;
    const char* sha256;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool extended : {false, true}) {
    pack::Sha256::UseExtensions(extended);
    for (const auto& c : cases) {
      for (size_t piece : {1, 63, 64, 1000000}) {
        pack::Sha256 digest;
        for (size_t at = 0; at < c.text.size(); at += piece) {
          digest.Update(c.text.data() + at, std::min(piece, c.text.size() - at));
        }
        const auto sum = digest.Finish();
        CHECK(pack::HexText(sum.data(), sum.size()) == c.sha256,
              c.text.substr(0, 8) + (extended ? " extended" : " plain") + " " + std::to_string(piece));
      }
    }
  }
  pack::Sha256::UseExtensions(true);
}
