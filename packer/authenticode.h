// Authenticode's digest of a PE file: everything but the checksum field, the certificate table's
// directory entry and the certificate table itself, under the hash the signature names.
#pragma once

#include <cstdint>
#include <vector>

#include "public_key.h"
#include "sha256.h"
#include "sha512.h"

namespace pack {

// The file offsets of what the digest leaves out: the checksum field, the certificate table's
// directory entry, and the certificate table itself (offset and size 0 when unsigned).
struct AuthenticodeLayout {
  uint64_t checksum_field = 0;
  uint64_t security_entry = 0;
  uint64_t table_offset = 0;
  uint64_t table_size = 0;
};

// Folds a file's bytes, handed over in order from offset 0 in pieces of any size, into its
// Authenticode digest, skipping what the layout leaves out; so a writer can fold the image as
// it writes it.
class AuthenticodeDigest {
 public:
  AuthenticodeDigest(Hash hash, const AuthenticodeLayout& layout);
  void Update(const uint8_t* data, size_t count);
  std::vector<uint8_t> Finish();

 private:
  void Fold(const uint8_t* data, size_t count);
  Hash hash_;
  AuthenticodeLayout layout_;
  uint64_t offset_ = 0;
  Sha1 sha1_;
  Sha256 sha256_;
  Sha384 sha384_;
  Sha512 sha512_;
};

}  // namespace pack
