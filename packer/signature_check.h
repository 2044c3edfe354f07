// Whether an installer's Authenticode signature holds: the certificate table read whole, each
// signer's signature checked with its certificate's key, its time stamp with the authority's,
// and, given certificates to trust, the path from each signer to one of them. Pure code, the
// same in the Linux and the Windows build, on bytes nobody vouches for: anything not understood
// is a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "authenticode.h"
#include "byte_span.h"
#include "json.h"
#include "public_key.h"
#include "x509.h"

namespace pack {

// An RFC 3161 token or a PKCS #9 countersignature over a signer's signature value.
struct TimeStampCheck {
  std::string kind;       // "RFC 3161" or "PKCS #9"
  std::string authority;  // the subject of the authority's certificate, once found
  std::string time;       // ISO 8601 UTC, set only when the time stamp holds
  int64_t seconds = 0;    // the same time, seconds since 1970
  std::vector<std::string> faults;  // why it does not hold; empty when it does
  std::optional<Certificate> certificate;  // the authority's
  std::vector<Certificate> pool;           // the certificates its chain may pass through
  bool chain_judged = false;
  std::string chain_fault;  // once judged, why no path reaches an anchor; empty when one does
};

// One Authenticode signature, the outer one or a nested one, and what holds of it. Its
// certificates point into the bytes read, which must outlive it.
struct SignatureInfo {
  std::string subject, issuer;  // of the signer's certificate, once found
  std::optional<Hash> hash;     // of the file digest the signature carries
  std::vector<uint8_t> digest;  // that digest
  bool digest_ok = false;       // it matches the file: CheckFileDigests
  std::optional<Hash> signer_hash;  // the signer's digestAlgorithm
  std::string signing_time;     // the signer's own word, ISO 8601, or empty
  std::vector<std::string> faults;  // every check of its own that failed, one line each
  std::optional<TimeStampCheck> timestamp;
  std::vector<SignatureInfo> nested;  // the outer signature's nested signatures
  std::optional<Certificate> signer;
  std::vector<Certificate> certificates;
  bool chain_judged = false;
  std::string chain_fault;  // as TimeStampCheck's
};

// The certificate table (the bytes its directory entry names), checked whole. Empty, with `why`,
// when it holds no PKCS #7 SignedData with Authenticode's content at all; otherwise every
// failed check is among the faults.
std::optional<SignatureInfo> ReadSignature(ByteSpan table, std::string* why);

// Sets digest_ok of the signature and each nested one: the file's Authenticode digest under its
// hash, as `layout` lays the file out. The first pass over the file also hands each window of
// it, in order, to `also` (every window when no digest is taken), so that a caller folds what
// else it needs of the file without reading it again.
using WindowFold = std::function<void(const uint8_t* data, size_t size)>;
void CheckFileDigests(ByteSpan file, const AuthenticodeLayout& layout, SignatureInfo* signature,
                      const WindowFold& also);

// The path from each signer and each time-stamp authority through the signature's certificates
// to one of `anchors`, at the verified time stamp's time, else at `now`.
void JudgeChains(const std::vector<Certificate>& anchors, int64_t now, SignatureInfo* signature);

// One line a failed check, as verify prints them; empty when the signature holds.
std::vector<std::string> SignatureFaults(const SignatureInfo& signature);

// For inspect: (label, text) lines of the table, and the "signature" object's members.
std::vector<std::pair<std::string, std::string>> SignatureLines(const SignatureInfo& signature);
void SignatureJson(JsonWriter& json, const SignatureInfo& signature);

}  // namespace pack
