// Authenticode signing with a key file inside the packer: the PKCS #7 SignedData that
// osslsigncode writes for the same key, certificates and signing time, byte for byte, built from
// the file's digest. The Linux build signs with OpenSSL's libcrypto (key_signing_posix.cc); the
// Windows build has no such library and refuses (key_signing_windows.cc).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "options.h"

namespace pack {

struct KeyMaterial;
struct KeyMaterialDeleter {
  void operator()(KeyMaterial* key) const;
};
using KeyMaterialOwner = std::unique_ptr<KeyMaterial, KeyMaterialDeleter>;

// The key and certificates of --sign-cert, --sign-key and --sign-pass-file, read and checked
// before anything is written; null when they are signed through osslsigncode instead (a key
// other than RSA). Fails with the message a user needs.
KeyMaterialOwner LoadKeyMaterial(const Options& options);

// The DER of the signature over an image whose Authenticode SHA-256 digest is `digest`, signed
// at `signing_time` (seconds since 1970), countersigned by --timestamp-url's server if given.
std::vector<uint8_t> SignedData(const KeyMaterial& key, const std::vector<uint8_t>& digest,
                                uint64_t signing_time);

}  // namespace pack
