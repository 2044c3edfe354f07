// Checking a signature with a public key, as certificates and Authenticode signers carry them:
// RSA (PKCS #1 v1.5 and PSS) and ECDSA over P-256 and P-384, over SHA-1, SHA-256, SHA-384 or
// SHA-512 digests. The packer carries this itself, the same code in the Linux and the Windows
// build (which has no crypto library), so that both give the same verdict on the same file.
// Every input is a file's bytes that nobody vouches for: anything not understood is a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_span.h"

namespace pack {

enum class Hash { kSha1, kSha256, kSha384, kSha512 };

size_t HashSize(Hash hash);
const char* HashName(Hash hash);  // "sha1", "sha256", "sha384", "sha512"
std::vector<uint8_t> HashOf(Hash hash, ByteSpan data);
// The hash an AlgorithmIdentifier's OID names (its content bytes only), if one of the four.
std::optional<Hash> HashOfOid(ByteSpan oid);

struct SignatureAlgorithm {
  enum class Scheme { kRsaPkcs1, kRsaPss, kEcdsa };
  Scheme scheme = Scheme::kRsaPkcs1;
  Hash hash = Hash::kSha256;       // of the digest that was signed
  Hash mgf1_hash = Hash::kSha256;  // PSS only
  uint32_t salt_length = 0;        // PSS only
};

// An AlgorithmIdentifier (the whole DER element) naming how a signature was made:
// rsaEncryption, sha{1,256,384,512}WithRSAEncryption, RSASSA-PSS with its parameters, or
// ecdsa-with-SHA{1,256,384,512}. `digest` is the hash named beside it (a SignerInfo's
// digestAlgorithm): it decides the hash of rsaEncryption and ecPublicKey, and must agree with one
// the identifier names itself. False, with `why`, for anything else.
bool ReadSignatureAlgorithm(ByteSpan identifier, std::optional<Hash> digest,
                            SignatureAlgorithm* out, std::string* why);

// Whether `signature` (an RSA signature's bytes, or an ECDSA signature as DER
// SEQUENCE { r, s }) was made over `digest` by the key of `public_key_info` (a
// SubjectPublicKeyInfo, the whole DER element) under `algorithm`. False, with `why`, when it
// was not, or the key is none of RSA (1024 to 16384 bits) or ECDSA P-256 or P-384.
bool VerifySignature(ByteSpan public_key_info, const SignatureAlgorithm& algorithm,
                     ByteSpan digest, ByteSpan signature, std::string* why);

// "RSA 2048", "ECDSA P-256", or empty for a key VerifySignature does not take.
std::string KeyDescription(ByteSpan public_key_info);

}  // namespace pack
