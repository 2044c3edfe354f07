// The stub's own version block, as windres writes it, read and written back by the packer: with
// nothing to brand, the very same bytes; cut short or with a broken node, refused.
#include "version_block.h"

#include "harness.h"
#include "pack_error.h"
#include "packer_support.h"

namespace {

std::string Refusal(const std::vector<uint8_t>& block) {
  try {
    pack::BrandVersionBlock(block, pack::Branding());
  } catch (const pack::PackError& error) {
    return error.what();
  }
  return "";
}

}  // namespace

HOST_TEST(BrandVersionBlockWritesWhatWindresWrote) {
  const std::vector<uint8_t> stub = StubVersionBlock();
  CHECK(stub.size() > 100, "the host build compiled stub.rc");
  if (stub.size() <= 100) return;
  CHECK(pack::BrandVersionBlock(stub, pack::Branding()) == stub, "unbranded");

  const std::string unreadable = "the stub's version block cannot be read: ";
  std::vector<uint8_t> long_node = stub;
  long_node[0] = static_cast<uint8_t>(stub.size() + 1);  // the root runs past the data
  long_node[1] = static_cast<uint8_t>((stub.size() + 1) >> 8);
  std::vector<uint8_t> no_signature = stub;
  no_signature[40] ^= 1;
  const struct {
    const char* label;
    std::vector<uint8_t> block;
    std::string message;
  } cases[] = {
      {"empty", {}, unreadable + "a node is cut short"},
      {"cut inside the key", std::vector<uint8_t>(stub.begin(), stub.begin() + 20),
       unreadable + "a node's length runs past its parent"},
      {"root longer than the block", long_node,
       unreadable + "a node's length runs past its parent"},
      {"no VS_FIXEDFILEINFO signature", no_signature, unreadable + "it holds no VS_FIXEDFILEINFO"},
  };
  for (const auto& c : cases) CHECK(Refusal(c.block) == c.message, c.label);
}
