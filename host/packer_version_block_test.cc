// The stub's own version block read and written back by the packer, against windres: with nothing
// to brand, the very same bytes; branded, the bytes windres writes for stub.rc with the same
// values (of odd lengths, so that padding follows them), so every node length and pad is its own.
#include "version_block.h"

#include "harness.h"
#include "packer_support.h"

HOST_TEST(BrandVersionBlockWritesWhatWindresWrote) {
  const std::vector<uint8_t> stub = StubVersionBlock();
  CHECK(stub.size() > 100, "the host build compiled stub.rc");
  if (stub.size() <= 100) return;
  CHECK(pack::BrandVersionBlock(stub, pack::Branding()) == stub, "unbranded");

  // The values of branded.rc in the host build's CMakeLists.txt.
  pack::Branding branding;
  branding.product_name = u"Kestrel Odd";
  branding.company = u"Kestrel";
  branding.product_version = u"2.10.3";
  branding.version_numbers = {2, 10, 3, 0};
  CHECK(pack::BrandVersionBlock(stub, branding) == VersionBlockOf(BRANDED_RES_PATH), "branded");
}
