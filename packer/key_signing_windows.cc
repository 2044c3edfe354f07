// The Windows build has no crypto library to sign with: a key file is refused there, with the way
// that works on Windows.
#include "key_signing.h"
#include "pack_error.h"

namespace pack {

struct KeyMaterial {};

void KeyMaterialDeleter::operator()(KeyMaterial* key) const { delete key; }

KeyMaterialOwner LoadKeyMaterial(const Options&) {
  Fail("signing with a key file (--sign-cert, --sign-key) is done by the Linux build; on Windows, "
       "sign with signtool through --sign-command, for example --sign-command \"signtool sign "
       "/fd sha256 /a {file}\"");
}

std::vector<uint8_t> SignedData(const KeyMaterial&, const std::vector<uint8_t>&, uint64_t) {
  return {};
}

}  // namespace pack
