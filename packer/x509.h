// X.509 certificates as a signature carries them, read from bytes nobody vouches for, and the
// path of trust from a signer to a certificate the user names (--ca-file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_span.h"
#include "der.h"
#include "public_key.h"

namespace pack {

struct Certificate {
  ByteSpan whole;                // the Certificate element, tag and length included
  ByteSpan tbs;                  // TBSCertificate, whole element: what the issuer signed
  ByteSpan serial;               // the serial number's INTEGER, whole element
  ByteSpan issuer, subject;      // Names, whole elements (compared byte for byte)
  int64_t not_before = 0, not_after = 0;  // seconds since 1970, UTC
  ByteSpan public_key_info;      // SubjectPublicKeyInfo, whole element
  ByteSpan signature_algorithm;  // the outer AlgorithmIdentifier, whole element
  ByteSpan signature;            // the BIT STRING's bits (its unused-bits byte dropped)
  bool ca = false;               // basicConstraints cA
  std::optional<uint32_t> path_length;
  // KeyUsage bit n (as RFC 5280 numbers them: 0 digitalSignature, 5 keyCertSign) as 1 << n.
  std::optional<uint16_t> key_usage;
  bool has_extended_key_usage = false;
  std::vector<std::string> extended_key_usage;  // OIDs, content bytes
  bool unknown_critical_extension = false;

  std::string SubjectText() const;  // "CN=..., O=..."
  std::string IssuerText() const;
};

// A Name (the whole element) as "CN=..., O=...", its attributes in their stored order.
std::string NameText(ByteSpan name);

// The certificate at the front of `der`, every field above read and checked for shape. False
// with `why` when it is not one.
bool ParseCertificate(ByteSpan der, Certificate* out, std::string* why);

// Every certificate of a PEM file's "-----BEGIN CERTIFICATE-----" blocks, as DER; `why` set and
// an empty list when the text holds none or a damaged one.
std::vector<std::vector<uint8_t>> PemCertificates(const std::string& text, std::string* why);

// A UTCTime or GeneralizedTime element as DER writes it (UTC, whole seconds) in seconds since
// 1970; with `fraction`, GeneralizedTime may also carry a fraction of a second (as a time-stamp
// token's may), which is dropped.
bool ReadDerTime(const der::Node& time, bool fraction, int64_t* seconds);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string TimeText(int64_t seconds);

// Whether `subject` was signed by the key of `issuer` (names matching, the signature checked).
bool SignedBy(const Certificate& subject, const Certificate& issuer, std::string* why);

// A path from `leaf` through `pool` (the signature's own certificates) to one of `anchors`, each
// link's signature, CA constraint, path length and validity at `when` checked; the leaf's
// validity too. True when one exists; else `why` names what broke the nearest path.
bool ChainToAnchor(const Certificate& leaf, const std::vector<Certificate>& pool,
                   const std::vector<Certificate>& anchors, int64_t when, std::string* why);

}  // namespace pack
