#include "authenticode.h"

#include <algorithm>
#include <cstring>

#include "der.h"
#include "x509.h"

namespace pack {
namespace {

using der::Expect;
using der::Take;
using Der = der::Node;
constexpr uint8_t kSequence = der::kSequenceTag;
constexpr uint8_t kSet = der::kSetTag;
using der::kContext0;
using der::kContext1;
using der::kGeneralizedTime;
using der::kInteger;
using der::kOctetString;
using der::kOid;
using der::kUtcTime;

// DER object identifiers, their content bytes only.
const std::string kSignedData("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
const std::string kIndirectData("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04", 10);
const std::string kSha1Oid("\x2B\x0E\x03\x02\x1A", 5);
const std::string kSha256Oid("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9);
const std::string kSigningTime("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x05", 9);
const std::string kCountersignature("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x06", 9);
const std::string kRfc3161Token("\x2B\x06\x01\x04\x01\x82\x37\x03\x03\x01", 10);

std::string TimeText(const Der& time) {
  std::string digits = time.Bytes();
  if (time.tag == kUtcTime && digits.size() >= 12) {
    digits = (digits[0] < '5' ? "20" : "19") + digits;
  } else if (time.tag != kGeneralizedTime || digits.size() < 14) {
    return "";
  }
  for (size_t i = 0; i < 14; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return "";
  }
  return digits.substr(0, 4) + "-" + digits.substr(4, 2) + "-" + digits.substr(6, 2) + "T" +
         digits.substr(8, 2) + ":" + digits.substr(10, 2) + ":" + digits.substr(12, 2) + "Z";
}

// The signingTime attribute among a SignerInfo's authenticated attributes.
std::string SigningTime(ByteSpan attributes) {
  Der attribute, oid, values, time;
  while (Take(&attributes, &attribute)) {
    ByteSpan fields = attribute.content;
    if (Expect(&fields, kOid, &oid) && oid.Bytes() == kSigningTime &&
        Expect(&fields, kSet, &values)) {
      ByteSpan inside = values.content;
      if (Take(&inside, &time)) return TimeText(time);
    }
  }
  return "";
}

// The fields of a SignerInfo: issuer and serial number, the authenticated attributes' content,
// the unauthenticated attributes' content.
struct Signer {
  Der issuer_and_serial;
  ByteSpan authenticated;
  ByteSpan unauthenticated;
};

bool ReadSigner(ByteSpan info, Signer* out) {
  Der version, algorithm, next;
  if (!Expect(&info, kInteger, &version) || !Expect(&info, kSequence, &out->issuer_and_serial) ||
      !Expect(&info, kSequence, &algorithm) || !Take(&info, &next)) {
    return false;
  }
  if (next.tag == kContext0) {
    out->authenticated = next.content;
    Der encryption;
    if (!Take(&info, &encryption)) return false;
  }
  Der signature;
  if (!Expect(&info, kOctetString, &signature)) return false;
  if (Take(&info, &next) && next.tag == kContext1) out->unauthenticated = next.content;
  return true;
}

// A time-stamp token (RFC 3161): SignedData whose content is TSTInfo, genTime its fifth field.
std::string TokenTime(ByteSpan token) {
  Der content_info, oid, explicit0, signed_data, field, encapsulated, e_oid, e_explicit, octets,
      tst;
  if (!Expect(&token, kSequence, &content_info)) return "";
  ByteSpan inside = content_info.content;
  if (!Expect(&inside, kOid, &oid) || !Expect(&inside, kContext0, &explicit0)) return "";
  inside = explicit0.content;
  if (!Expect(&inside, kSequence, &signed_data)) return "";
  inside = signed_data.content;
  if (!Expect(&inside, kInteger, &field) || !Expect(&inside, kSet, &field) ||
      !Expect(&inside, kSequence, &encapsulated)) {
    return "";
  }
  inside = encapsulated.content;
  if (!Expect(&inside, kOid, &e_oid) || !Expect(&inside, kContext0, &e_explicit)) return "";
  inside = e_explicit.content;
  if (!Expect(&inside, kOctetString, &octets)) return "";
  inside = octets.content;
  if (!Expect(&inside, kSequence, &tst)) return "";
  inside = tst.content;
  for (int i = 0; i < 4; ++i) {
    if (!Take(&inside, &field)) return "";
  }
  return Take(&inside, &field) ? TimeText(field) : "";
}

// The time of a countersignature among the unauthenticated attributes: a PKCS #9 one (a
// SignerInfo with its own signingTime) or an RFC 3161 token.
std::string Timestamp(ByteSpan attributes) {
  Der attribute, oid, values, value;
  while (Take(&attributes, &attribute)) {
    ByteSpan fields = attribute.content;
    if (!Expect(&fields, kOid, &oid) || !Expect(&fields, kSet, &values)) continue;
    ByteSpan inside = values.content;
    if (oid.Bytes() == kCountersignature && Expect(&inside, kSequence, &value)) {
      Signer counter;
      if (ReadSigner(value.content, &counter)) return SigningTime(counter.authenticated);
    } else if (oid.Bytes() == kRfc3161Token) {
      return TokenTime(inside);
    }
  }
  return "";
}

// The subject and issuer of the certificate whose issuer and serial number are `wanted`'s.
bool FindCertificate(ByteSpan certificates, const Der& wanted, SignatureInfo* out) {
  Der certificate;
  while (Take(&certificates, &certificate)) {
    ByteSpan inside = certificate.content;
    Der tbs, field, serial, issuer, subject;
    if (!Expect(&inside, kSequence, &tbs)) continue;
    inside = tbs.content;
    if (!Take(&inside, &field)) continue;
    if (field.tag == kContext0 && !Take(&inside, &field)) continue;  // the version
    serial = field;
    if (serial.tag != kInteger || !Expect(&inside, kSequence, &field) ||
        !Expect(&inside, kSequence, &issuer) || !Expect(&inside, kSequence, &field) ||
        !Expect(&inside, kSequence, &subject)) {
      continue;
    }
    ByteSpan identity = wanted.content;
    Der wanted_issuer, wanted_serial;
    if (!Take(&identity, &wanted_issuer) || !Take(&identity, &wanted_serial)) return false;
    if (wanted_issuer.whole.size() == issuer.whole.size() &&
        wanted_serial.whole.size() == serial.whole.size() &&
        std::memcmp(wanted_issuer.whole.data(), issuer.whole.data(), issuer.whole.size()) == 0 &&
        std::memcmp(wanted_serial.whole.data(), serial.whole.data(), serial.whole.size()) == 0) {
      out->subject = NameText(subject.whole);
      out->issuer = NameText(issuer.whole);
      return true;
    }
  }
  return false;
}

}  // namespace

AuthenticodeDigest::AuthenticodeDigest(DigestAlgorithm algorithm,
                                       const AuthenticodeLayout& layout)
    : algorithm_(algorithm), layout_(layout) {}

void AuthenticodeDigest::Fold(const uint8_t* data, size_t count) {
  if (algorithm_ == DigestAlgorithm::kSha256) {
    sha256_.Update(data, count);
  } else {
    sha1_.Update(data, count);
  }
}

void AuthenticodeDigest::Update(const uint8_t* data, size_t count) {
  // Each left-out range, in file order, cuts the piece; what lies between them is folded.
  const uint64_t cuts[3][2] = {{layout_.checksum_field, 4},
                               {layout_.security_entry, 8},
                               {layout_.table_offset, layout_.table_size}};
  const uint64_t end = offset_ + count;
  uint64_t at = offset_;
  while (at < end) {
    uint64_t next = end;
    uint64_t skip_to = at;
    for (const auto& cut : cuts) {
      if (cut[1] == 0) continue;
      const uint64_t cut_end = cut[0] + cut[1];
      if (at >= cut[0] && at < cut_end) skip_to = std::max(skip_to, std::min(cut_end, end));
      if (cut[0] > at && cut[0] < next) next = cut[0];
    }
    if (skip_to > at) {
      at = skip_to;
      continue;
    }
    Fold(data + (at - offset_), static_cast<size_t>(next - at));
    at = next;
  }
  offset_ = end;
}

std::vector<uint8_t> AuthenticodeDigest::Finish() {
  if (algorithm_ == DigestAlgorithm::kSha256) {
    auto digest = sha256_.Finish();
    return std::vector<uint8_t>(digest.begin(), digest.end());
  }
  auto digest = sha1_.Finish();
  return std::vector<uint8_t>(digest.begin(), digest.end());
}

const char* DigestName(DigestAlgorithm algorithm) {
  return algorithm == DigestAlgorithm::kSha256 ? "sha256" : "sha1";
}

std::optional<SignatureInfo> ReadSignature(ByteSpan table, std::string* why) {
  // WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType 2 (PKCS #7 SignedData).
  uint32_t length;
  uint16_t revision, type;
  ByteSpan pkcs7;
  if (!table.Read32(0, &length) || !table.Read16(4, &revision) || !table.Read16(6, &type) ||
      length < 8 || !table.Sub(8, length - 8, &pkcs7)) {
    *why = "the certificate table is cut short";
    return std::nullopt;
  }
  if (revision != 0x0200 || type != 2) {
    *why = "the certificate table holds no PKCS #7 signature";
    return std::nullopt;
  }
  *why = "the signature is not PKCS #7 SignedData holding an Authenticode digest";
  Der content_info, oid, explicit0, signed_data, version, algorithms, content, content_oid,
      content_explicit, indirect, data, digest_info, algorithm, algorithm_oid, digest, next;
  ByteSpan at = pkcs7;
  if (!Expect(&at, kSequence, &content_info)) return std::nullopt;
  at = content_info.content;
  if (!Expect(&at, kOid, &oid) || oid.Bytes() != kSignedData ||
      !Expect(&at, kContext0, &explicit0)) {
    return std::nullopt;
  }
  at = explicit0.content;
  if (!Expect(&at, kSequence, &signed_data)) return std::nullopt;
  at = signed_data.content;
  if (!Expect(&at, kInteger, &version) || !Expect(&at, kSet, &algorithms) ||
      !Expect(&at, kSequence, &content)) {
    return std::nullopt;
  }
  ByteSpan signers_and_certificates = at;
  at = content.content;
  if (!Expect(&at, kOid, &content_oid) || content_oid.Bytes() != kIndirectData ||
      !Expect(&at, kContext0, &content_explicit)) {
    return std::nullopt;
  }
  at = content_explicit.content;
  if (!Expect(&at, kSequence, &indirect)) return std::nullopt;
  at = indirect.content;
  if (!Expect(&at, kSequence, &data) || !Expect(&at, kSequence, &digest_info)) return std::nullopt;
  at = digest_info.content;
  if (!Expect(&at, kSequence, &algorithm) || !Expect(&at, kOctetString, &digest)) {
    return std::nullopt;
  }
  ByteSpan algorithm_fields = algorithm.content;
  if (!Expect(&algorithm_fields, kOid, &algorithm_oid)) return std::nullopt;
  SignatureInfo info;
  if (algorithm_oid.Bytes() == kSha256Oid) {
    info.algorithm = DigestAlgorithm::kSha256;
  } else if (algorithm_oid.Bytes() == kSha1Oid) {
    info.algorithm = DigestAlgorithm::kSha1;
  } else {
    *why = "the signature's digest is neither SHA-256 nor SHA-1";
    return std::nullopt;
  }
  info.digest.assign(digest.content.data(), digest.content.data() + digest.content.size());

  // Then the certificates ([0]), any revocation lists ([1]) and the signers (a SET).
  ByteSpan certificates;
  at = signers_and_certificates;
  Der signers;
  while (Take(&at, &next)) {
    if (next.tag == kContext0) certificates = next.content;
    if (next.tag == kSet) signers = next;
  }
  ByteSpan signer_set = signers.content;
  Der first_signer;
  Signer signer;
  if (Expect(&signer_set, kSequence, &first_signer) && ReadSigner(first_signer.content, &signer)) {
    FindCertificate(certificates, signer.issuer_and_serial, &info);
    info.signing_time = SigningTime(signer.authenticated);
    info.timestamp = Timestamp(signer.unauthenticated);
  }
  why->clear();
  return info;
}

}  // namespace pack
