// The packer's SHA-512 and SHA-384: known answers, fed in pieces that fall every way across the
// 128-byte blocks and the length field's boundary at 112 bytes.
#include <string>

#include "sha256.h"
#include "sha512.h"

#include "harness.h"

template <typename Digest>
static std::string DigestInPieces(const std::string& text, size_t piece) {
  Digest digest;
  for (size_t at = 0; at < text.size(); at += piece) {
    digest.Update(text.data() + at, std::min(piece, text.size() - at));
  }
  const auto sum = digest.Finish();
  return pack::HexText(sum.data(), sum.size());
}

HOST_TEST(Sha512AndSha384GiveTheKnownAnswers) {
  const struct {
    std::string text;
    const char* sha512;
    const char* sha384;
  } cases[] = {
      {"",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d287"
       "7eec2f63b931bd47417a81a538327af927da3e",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f148"
       "98b95b"},
      {"abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3"
       "feebbd454d4423643ce80e2a9ac94fa54ca49f",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134"
       "c825a7"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4"
       "b5433ac7d329eeb6dd26545e96e55b874be909",
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91"
       "746039"},
      // The longest message whose length still fits in its last block.
      {std::string(111, 'a'),
       "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760b4beff48404df811b95382827"
       "4461673c68d04e297b0eb7b2b4d60fc6b566a2",
       "3c37955051cb5c3026f94d551d5b5e2ac38d572ae4e07172085fed81f8466b8f90dc23a8ffcdea0b8d8e58e8fd"
       "acc80a"},
  };
  for (const auto& c : cases) {
    for (size_t piece : {1, 111, 128, 1000}) {
      const std::string label = c.text.substr(0, 8) + " " + std::to_string(piece);
      CHECK(DigestInPieces<pack::Sha512>(c.text, piece) == c.sha512, "sha512 " + label);
      CHECK(DigestInPieces<pack::Sha384>(c.text, piece) == c.sha384, "sha384 " + label);
    }
  }
}
