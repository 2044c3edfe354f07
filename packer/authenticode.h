// Authenticode: the digest of a PE file as a signature covers it, and what a signature's PKCS #7
// SignedData says (who signed, with which digest, over what). The chain of trust is not judged
// here: that is for osslsigncode or signtool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_span.h"
#include "sha256.h"

namespace pack {

enum class DigestAlgorithm { kSha1, kSha256 };

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
  AuthenticodeDigest(DigestAlgorithm algorithm, const AuthenticodeLayout& layout);
  void Update(const uint8_t* data, size_t count);
  std::vector<uint8_t> Finish();

 private:
  void Fold(const uint8_t* data, size_t count);
  DigestAlgorithm algorithm_;
  AuthenticodeLayout layout_;
  uint64_t offset_ = 0;
  Sha256 sha256_;
  Sha1 sha1_;
};

struct SignatureInfo {
  std::string subject;      // the signer's certificate, "CN=..., O=..."
  std::string issuer;
  DigestAlgorithm algorithm = DigestAlgorithm::kSha256;
  std::vector<uint8_t> digest;  // the file digest the signature carries
  std::string signing_time;     // the signer's own word, ISO 8601, or empty
  std::string timestamp;        // a countersignature's time, ISO 8601, or empty
};

// The WIN_CERTIFICATE table at the end of a signed file: its first PKCS #7 SignedData holding an
// SpcIndirectDataContent. Empty and `why` set when it is not one.
std::optional<SignatureInfo> ReadSignature(ByteSpan table, std::string* why);

const char* DigestName(DigestAlgorithm algorithm);

}  // namespace pack
