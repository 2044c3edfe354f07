#include "signature_check.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "der.h"

namespace pack {
namespace {

using der::Expect;
using der::Take;
using Der = der::Node;

// Object identifiers, their content bytes only.
const std::string kSignedData("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
const std::string kIndirectData("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x04", 10);
const std::string kPeImageData("\x2B\x06\x01\x04\x01\x82\x37\x02\x01\x0F", 10);
const std::string kContentType("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x03", 9);
const std::string kMessageDigest("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x04", 9);
const std::string kSigningTime("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x05", 9);
const std::string kCountersignature("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x06", 9);
const std::string kRfc3161Token("\x2B\x06\x01\x04\x01\x82\x37\x03\x03\x01", 10);
const std::string kNestedSignature("\x2B\x06\x01\x04\x01\x82\x37\x02\x04\x01", 10);
const std::string kTstInfo("\x2A\x86\x48\x86\xF7\x0D\x01\x09\x10\x01\x04", 11);
const std::string kCodeSigning("\x2B\x06\x01\x05\x05\x07\x03\x03", 8);
const std::string kTimeStamping("\x2B\x06\x01\x05\x05\x07\x03\x08", 8);

// Far more than a real signature carries; past them the work a hostile file can ask for
// (a public-key operation each) stays bounded.
constexpr size_t kMostCertificates = 64;
constexpr size_t kMostNested = 16;

const char kSha1Fault[] = "signed with SHA-1, which Windows no longer trusts";

bool Same(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool Same(ByteSpan a, const std::vector<uint8_t>& b) {
  return Same(a, ByteSpan(b.data(), b.size()));
}

// A time as seconds and as ISO 8601 text; GeneralizedTime's fraction of a second (which a
// time-stamp token may carry) dropped.
bool ReadTime(const Der& time, int64_t* seconds, std::string* text) {
  if (!ReadDerTime(time, true, seconds)) return false;
  *text = TimeText(*seconds);
  return true;
}

// The hash an AlgorithmIdentifier (SEQUENCE { OID, NULL or nothing }) names.
std::optional<Hash> DigestAlgorithm(const Der& algorithm) {
  ByteSpan fields = algorithm.content;
  Der oid, parameters;
  if (algorithm.tag != der::kSequenceTag || !Expect(&fields, der::kOid, &oid)) return std::nullopt;
  if (!fields.empty() && (!Expect(&fields, der::kNullTag, &parameters) ||
                          !parameters.content.empty() || !fields.empty())) {
    return std::nullopt;
  }
  return HashOfOid(oid.content);
}

// SignedData's fields that matter here, from a ContentInfo.
struct SignedData {
  std::string content_type;  // eContentType
  Der content;               // the element inside eContent's [0] EXPLICIT
  std::vector<Certificate> certificates;
  std::vector<Der> signers;  // the SignerInfo elements
  std::vector<std::string> faults;  // certificates that cannot be read
};

bool ReadSignedData(const Der& content_info, SignedData* out) {
  ByteSpan at = content_info.content;
  Der oid, explicit0, signed_data, version, algorithms, encapsulated, e_oid, e_explicit, next;
  if (content_info.tag != der::kSequenceTag || !Expect(&at, der::kOid, &oid) ||
      oid.Bytes() != kSignedData || !Expect(&at, der::kContext0, &explicit0) || !at.empty()) {
    return false;
  }
  at = explicit0.content;
  if (!Expect(&at, der::kSequenceTag, &signed_data) || !at.empty()) return false;
  at = signed_data.content;
  if (!Expect(&at, der::kInteger, &version) || !Expect(&at, der::kSetTag, &algorithms) ||
      !Expect(&at, der::kSequenceTag, &encapsulated)) {
    return false;
  }
  ByteSpan inside = encapsulated.content;
  if (!Expect(&inside, der::kOid, &e_oid) || !Expect(&inside, der::kContext0, &e_explicit) ||
      !inside.empty()) {
    return false;
  }
  out->content_type = e_oid.Bytes();
  inside = e_explicit.content;
  if (!Take(&inside, &out->content) || !inside.empty()) return false;
  if (!Take(&at, &next)) return false;
  if (next.tag == der::kContext0) {
    ByteSpan certificates = next.content;
    Der element;
    size_t seen = 0;
    while (Take(&certificates, &element)) {
      if (element.tag != der::kSequenceTag) continue;  // another CertificateChoices: unused here
      if (++seen > kMostCertificates) continue;
      Certificate certificate;
      std::string why;
      if (ParseCertificate(element.whole, &certificate, &why)) {
        out->certificates.push_back(certificate);
      } else {
        out->faults.push_back("certificate " + std::to_string(seen) + " it carries cannot be read: " +
                              why);
      }
    }
    if (seen > kMostCertificates) {
      out->faults.push_back("it carries more than " + std::to_string(kMostCertificates) +
                            " certificates");
    }
    if (!certificates.empty() || !Take(&at, &next)) return false;
  }
  if (next.tag == der::kContext1 && !Take(&at, &next)) return false;  // revocation lists
  if (next.tag != der::kSetTag || !at.empty()) return false;
  ByteSpan signers = next.content;
  Der signer;
  while (!signers.empty()) {
    if (!Expect(&signers, der::kSequenceTag, &signer)) return false;
    out->signers.push_back(signer);
  }
  return true;
}

struct SignerInfo {
  Der issuer, serial;
  Der digest_algorithm;
  bool has_signed_attributes = false;
  Der signed_attributes;  // [0] IMPLICIT SET OF Attribute
  Der signature_algorithm;
  Der signature;  // OCTET STRING
  ByteSpan unsigned_attributes;  // the content of [1]
};

// Why a SignerInfo cannot be read, or empty.
std::string ReadSignerInfo(const Der& element, SignerInfo* out) {
  const std::string damaged = "its signer information is damaged";
  ByteSpan at = element.content;
  Der version, sid, next;
  if (!Expect(&at, der::kInteger, &version) || !Take(&at, &sid)) return damaged;
  ByteSpan identity = sid.content;
  if (sid.tag != der::kSequenceTag) {
    return "its signer is named by a key identifier, where Authenticode names the issuer and "
           "serial number";
  }
  if (!Expect(&identity, der::kSequenceTag, &out->issuer) ||
      !Expect(&identity, der::kInteger, &out->serial) || !identity.empty() ||
      !Expect(&at, der::kSequenceTag, &out->digest_algorithm) || !Take(&at, &next)) {
    return damaged;
  }
  if (next.tag == der::kContext0) {
    out->has_signed_attributes = true;
    out->signed_attributes = next;
    if (!Take(&at, &next)) return damaged;
  }
  out->signature_algorithm = next;
  if (next.tag != der::kSequenceTag || !Expect(&at, der::kOctetString, &out->signature)) {
    return damaged;
  }
  if (!at.empty()) {
    if (!Expect(&at, der::kContext1, &next) || !at.empty()) return damaged;
    out->unsigned_attributes = next.content;
  }
  return "";
}

// Attribute ::= SEQUENCE { type OID, values SET }, by type.
using Attributes = std::multimap<std::string, Der>;

bool ReadAttributes(ByteSpan attributes, Attributes* out) {
  Der attribute, oid, values;
  while (!attributes.empty()) {
    if (!Expect(&attributes, der::kSequenceTag, &attribute)) return false;
    ByteSpan fields = attribute.content;
    if (!Expect(&fields, der::kOid, &oid) || !Expect(&fields, der::kSetTag, &values) ||
        !fields.empty()) {
      return false;
    }
    out->emplace(oid.Bytes(), values);
  }
  return true;
}

// Every value of every attribute of `type`; `damaged` set when a SET is.
std::vector<Der> Values(const Attributes& attributes, const std::string& type, bool* damaged) {
  std::vector<Der> values;
  const auto range = attributes.equal_range(type);
  for (auto it = range.first; it != range.second; ++it) {
    ByteSpan set = it->second.content;
    Der value;
    while (Take(&set, &value)) values.push_back(value);
    *damaged |= !set.empty();
  }
  return values;
}

// The one value of the one attribute of `type`.
bool SingleValue(const Attributes& attributes, const std::string& type, Der* value) {
  bool damaged = false;
  const std::vector<Der> values = Values(attributes, type, &damaged);
  if (damaged || values.size() != 1) return false;
  *value = values[0];
  return true;
}

const Certificate* FindCertificate(const std::vector<Certificate>& certificates,
                                   const SignerInfo& signer) {
  for (const Certificate& certificate : certificates) {
    if (Same(certificate.issuer, signer.issuer.whole) &&
        Same(certificate.serial, signer.serial.whole)) {
      return &certificate;
    }
  }
  return nullptr;
}

// What every signer here must satisfy: a digest algorithm of SHA-2, its certificate among
// `certificates`, signed attributes whose content type is `content_type` (when not empty) and
// whose message digest is that of `content`, and a signature over them that its certificate's
// key made. Faults are clauses about "it", the signer. Returns the certificate found.
const Certificate* CheckSigner(const SignerInfo& signer,
                               const std::vector<Certificate>& certificates,
                               const std::string& content_type, ByteSpan content,
                               Attributes* attributes,
                               std::optional<Hash>* hash, std::vector<std::string>* faults) {
  *hash = DigestAlgorithm(signer.digest_algorithm);
  if (!*hash) {
    faults->push_back("its digest algorithm is none of SHA-256, SHA-384 and SHA-512");
  } else if (**hash == Hash::kSha1) {
    faults->push_back(kSha1Fault);
  }
  const Certificate* certificate = FindCertificate(certificates, signer);
  if (certificate == nullptr) {
    faults->push_back("no certificate it carries has the signer's issuer and serial number");
  }
  if (!signer.has_signed_attributes) {
    faults->push_back("it has no signed attributes, so nothing binds its signature to the content");
    return certificate;
  }
  if (!ReadAttributes(signer.signed_attributes.content, attributes)) {
    faults->push_back("its signed attributes are damaged");
    return certificate;
  }
  for (auto it = attributes->begin(); it != attributes->end(); ++it) {
    if (attributes->count(it->first) != 1) {
      faults->push_back("its signed attributes name one attribute twice");
      return certificate;
    }
  }
  Der value;
  if (!content_type.empty() && !SingleValue(*attributes, kContentType, &value)) {
    faults->push_back("its signed attributes hold no content type");
  } else if (!content_type.empty() && (value.tag != der::kOid || value.Bytes() != content_type)) {
    faults->push_back("its signed content type is not the content's");
  }
  if (!SingleValue(*attributes, kMessageDigest, &value) || value.tag != der::kOctetString) {
    faults->push_back("its signed attributes hold no message digest");
  } else if (*hash && !Same(value.content, HashOf(**hash, content))) {
    faults->push_back("its message digest does not match the signed content: changed after "
                      "signing");
  }
  if (certificate == nullptr || !*hash) return certificate;
  SignatureAlgorithm algorithm;
  std::string why;
  if (!ReadSignatureAlgorithm(signer.signature_algorithm.whole, *hash, &algorithm, &why)) {
    faults->push_back("its signature algorithm: " + why);
    return certificate;
  }
  // Signed as the DER of a SET OF, stored under the implicit tag [0].
  std::vector<uint8_t> set(signer.signed_attributes.whole.data(),
                           signer.signed_attributes.whole.data() +
                               signer.signed_attributes.whole.size());
  set[0] = der::kSetTag;
  const std::vector<uint8_t> digest = HashOf(algorithm.hash, ByteSpan(set.data(), set.size()));
  if (!VerifySignature(certificate->public_key_info, algorithm,
                       ByteSpan(digest.data(), digest.size()), signer.signature.content, &why)) {
    faults->push_back("its signature does not verify with its certificate's key (" + why + ")");
  }
  return certificate;
}

// Whether the certificate may make signatures for `purpose` (an extended key usage);
// anyExtendedKeyUsage does not do.
void CheckUsage(const Certificate& certificate, const std::string& purpose, const char* name,
                std::vector<std::string>* faults) {
  if (!certificate.has_extended_key_usage ||
      std::find(certificate.extended_key_usage.begin(), certificate.extended_key_usage.end(),
                purpose) == certificate.extended_key_usage.end()) {
    faults->push_back(std::string("its certificate is not for ") + name +
                      ": its extended key usage does not name it");
  }
  if (certificate.key_usage && !(*certificate.key_usage & 1)) {
    faults->push_back("its certificate's key usage does not allow digital signatures");
  }
  if (certificate.unknown_critical_extension) {
    faults->push_back("its certificate has a critical extension this check does not know");
  }
}

// The authority's certificate, found and for time stamping; the time stamp's faults otherwise.
void TakeAuthority(const Certificate* certificate, const std::vector<Certificate>& pool,
                   TimeStampCheck* check) {
  if (certificate == nullptr) return;
  check->certificate = *certificate;
  check->authority = certificate->SubjectText();
  check->pool = pool;
  CheckUsage(*certificate, kTimeStamping, "time stamping", &check->faults);
}

// A time-stamp token: SignedData over a TSTInfo whose message imprint is the hash of
// `signature`, the signer's signature value.
void CheckToken(const Der& token, ByteSpan signature, const std::vector<Certificate>& outer,
                TimeStampCheck* check) {
  check->kind = "RFC 3161";
  SignedData data;
  if (!ReadSignedData(token, &data) || data.content_type != kTstInfo ||
      data.content.tag != der::kOctetString) {
    check->faults.push_back("the token is not SignedData over a TSTInfo");
    return;
  }
  check->faults = data.faults;
  if (data.signers.size() != 1) {
    check->faults.push_back("the token has " + std::to_string(data.signers.size()) +
                            " signers, not one");
    return;
  }
  SignerInfo signer;
  const std::string damaged = ReadSignerInfo(data.signers[0], &signer);
  if (!damaged.empty()) {
    check->faults.push_back(damaged);
    return;
  }
  std::vector<Certificate> pool = data.certificates;
  pool.insert(pool.end(), outer.begin(), outer.end());
  Attributes attributes;
  std::optional<Hash> hash;
  TakeAuthority(CheckSigner(signer, pool, kTstInfo, data.content.content, &attributes, &hash,
                            &check->faults),
                pool, check);

  // TSTInfo: version, policy, messageImprint, serialNumber, genTime, and optional fields.
  ByteSpan at = data.content.content;
  Der tst, version, policy, imprint, serial, time, algorithm, hashed;
  bool read = Expect(&at, der::kSequenceTag, &tst) && at.empty();
  at = tst.content;
  read = read && Expect(&at, der::kInteger, &version) && Expect(&at, der::kOid, &policy) &&
         Expect(&at, der::kSequenceTag, &imprint) && Expect(&at, der::kInteger, &serial) &&
         Expect(&at, der::kGeneralizedTime, &time);
  ByteSpan fields = imprint.content;
  read = read && Expect(&fields, der::kSequenceTag, &algorithm) &&
         Expect(&fields, der::kOctetString, &hashed) && fields.empty();
  int64_t seconds = 0;
  std::string text;
  if (!read || !ReadTime(time, &seconds, &text)) {
    check->faults.push_back("its TSTInfo is damaged");
    return;
  }
  const std::optional<Hash> imprint_hash = DigestAlgorithm(algorithm);
  if (!imprint_hash || !Same(hashed.content, HashOf(*imprint_hash, signature))) {
    check->faults.push_back("its message imprint is not the hash of the signature it stamps");
  }
  if (check->faults.empty()) {
    check->seconds = seconds;
    check->time = text;
  }
}

// A PKCS #9 countersignature: a SignerInfo whose message digest is that of `signature`, its
// certificate among the signature's own, its time its signingTime.
void CheckCountersignature(const Der& element, ByteSpan signature,
                           const std::vector<Certificate>& outer, TimeStampCheck* check) {
  check->kind = "PKCS #9";
  SignerInfo signer;
  const std::string damaged =
      element.tag == der::kSequenceTag ? ReadSignerInfo(element, &signer) : "it is damaged";
  if (!damaged.empty()) {
    check->faults.push_back(damaged);
    return;
  }
  Attributes attributes;
  std::optional<Hash> hash;
  TakeAuthority(CheckSigner(signer, outer, "", signature, &attributes, &hash, &check->faults),
                outer, check);
  Der time;
  int64_t seconds = 0;
  std::string text;
  if (!SingleValue(attributes, kSigningTime, &time) || !ReadTime(time, &seconds, &text)) {
    check->faults.push_back("it holds no signing time");
  } else if (check->faults.empty()) {
    check->seconds = seconds;
    check->time = text;
  }
}

void CheckAuthenticode(const Der& content_info, bool nested, SignatureInfo* info);

// The unsigned attributes Authenticode gives meaning to: the time stamp and nested signatures.
void CheckUnsigned(const SignerInfo& signer, const std::vector<Certificate>& certificates,
                   bool nested, SignatureInfo* info) {
  Attributes attributes;
  bool damaged = !ReadAttributes(signer.unsigned_attributes, &attributes);
  const std::vector<Der> tokens = Values(attributes, kRfc3161Token, &damaged);
  const std::vector<Der> counters = Values(attributes, kCountersignature, &damaged);
  const std::vector<Der> signatures = Values(attributes, kNestedSignature, &damaged);
  if (damaged) {
    info->faults.push_back("its unsigned attributes are damaged");
    return;
  }
  if (!tokens.empty() || !counters.empty()) {
    info->timestamp.emplace();
    if (tokens.size() + counters.size() > 1) {
      info->timestamp->kind = tokens.empty() ? "PKCS #9" : "RFC 3161";
      info->timestamp->faults.push_back("the signature carries more than one time stamp");
    } else if (!tokens.empty()) {
      CheckToken(tokens[0], signer.signature.content, certificates, &*info->timestamp);
    } else {
      CheckCountersignature(counters[0], signer.signature.content, certificates,
                            &*info->timestamp);
    }
  }
  if (signatures.empty()) return;
  if (nested) {
    info->faults.push_back("it holds nested signatures of its own, which Windows never reads");
  } else if (signatures.size() > kMostNested) {
    info->faults.push_back("it holds more than " + std::to_string(kMostNested) +
                           " nested signatures");
  } else {
    for (const Der& signature : signatures) {
      info->nested.emplace_back();
      CheckAuthenticode(signature, true, &info->nested.back());
    }
  }
}

// One Authenticode SignedData (a ContentInfo), checked whole into `info`; false only when it is
// none at all.
bool ReadAuthenticode(const Der& content_info, bool nested, SignatureInfo* info) {
  SignedData data;
  if (!ReadSignedData(content_info, &data) || data.content_type != kIndirectData ||
      data.content.tag != der::kSequenceTag) {
    return false;
  }
  info->faults = data.faults;
  info->certificates = data.certificates;
  // SpcIndirectDataContent: SEQUENCE { SEQUENCE { SpcPeImageData, value }, DigestInfo }.
  ByteSpan at = data.content.content;
  Der image_data, digest_info, type, algorithm, digest;
  bool read = Expect(&at, der::kSequenceTag, &image_data) &&
              Expect(&at, der::kSequenceTag, &digest_info) && at.empty();
  ByteSpan fields = image_data.content;
  read = read && Expect(&fields, der::kOid, &type);
  fields = digest_info.content;
  read = read && Expect(&fields, der::kSequenceTag, &algorithm) &&
         Expect(&fields, der::kOctetString, &digest) && fields.empty();
  if (!read) {
    info->faults.push_back("its signed content is damaged");
  } else if (type.Bytes() != kPeImageData) {
    info->faults.push_back("its signed content is not a PE image's digest");
  } else {
    info->hash = DigestAlgorithm(algorithm);
    info->digest.assign(digest.content.data(), digest.content.data() + digest.content.size());
    if (!info->hash) {
      info->faults.push_back("the file digest's algorithm is none of SHA-256, SHA-384 and SHA-512");
    } else if (*info->hash == Hash::kSha1) {
      info->faults.push_back(kSha1Fault);
    } else if (info->digest.size() != HashSize(*info->hash)) {
      info->faults.push_back("the file digest is not of its algorithm's size");
    }
  }

  if (data.signers.size() != 1) {
    info->faults.push_back(data.signers.empty() ? "it has no signer"
                                                : "it has " + std::to_string(data.signers.size()) +
                                                      " signers, where Authenticode has one");
    return true;
  }
  SignerInfo signer;
  const std::string damaged = ReadSignerInfo(data.signers[0], &signer);
  if (!damaged.empty()) {
    info->faults.push_back(damaged);
    return true;
  }
  Attributes attributes;
  std::vector<std::string> faults;
  const Certificate* certificate =
      CheckSigner(signer, data.certificates, kIndirectData, data.content.content, &attributes,
                  &info->signer_hash, &faults);
  // One line for SHA-1, whether the file digest, the signer or both name it.
  for (const std::string& fault : faults) {
    if (fault != kSha1Fault || std::find(info->faults.begin(), info->faults.end(), fault) ==
                                   info->faults.end()) {
      info->faults.push_back(fault);
    }
  }
  if (certificate != nullptr) {
    info->signer = *certificate;
    info->subject = certificate->SubjectText();
    info->issuer = certificate->IssuerText();
    CheckUsage(*certificate, kCodeSigning, "code signing", &info->faults);
  }
  Der time;
  int64_t seconds;
  if (SingleValue(attributes, kSigningTime, &time)) ReadTime(time, &seconds, &info->signing_time);
  CheckUnsigned(signer, data.certificates, nested, info);
  return true;
}

void CheckAuthenticode(const Der& content_info, bool nested, SignatureInfo* info) {
  if (!ReadAuthenticode(content_info, nested, info)) {
    info->faults.push_back("it is not PKCS #7 SignedData holding an Authenticode digest");
  }
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// The faults of the signature itself: its own checks and its file digest.
std::vector<std::string> OwnFaults(const SignatureInfo& signature) {
  std::vector<std::string> faults = signature.faults;
  if (signature.hash && !signature.digest_ok) {
    faults.push_back("its digest does not match the file: changed after signing");
  }
  return faults;
}

void AddFaults(const SignatureInfo& signature, const std::string& who,
               std::vector<std::string>* lines) {
  for (const std::string& fault : signature.faults) lines->push_back(who + ": " + fault);
  if (signature.hash && !signature.digest_ok) {
    lines->push_back(who + "'s digest does not match the file: changed after signing");
  }
  if (signature.timestamp) {
    for (const std::string& fault : signature.timestamp->faults) {
      lines->push_back(who + "'s time stamp: " + fault);
    }
    if (signature.timestamp->chain_judged && !signature.timestamp->chain_fault.empty()) {
      lines->push_back(who + "'s time stamp's chain of trust: " + signature.timestamp->chain_fault);
    }
  }
  if (signature.chain_judged && !signature.chain_fault.empty()) {
    lines->push_back(who + "'s chain of trust: " + signature.chain_fault);
  }
  for (size_t i = 0; i < signature.nested.size(); ++i) {
    AddFaults(signature.nested[i], "nested signature " + std::to_string(i + 1), lines);
  }
}

std::string ChainText(bool judged, const std::string& fault) {
  if (!judged) return "not judged: give --ca-file";
  return fault.empty() ? "holds, to a certificate of --ca-file" : "FAILS: " + fault;
}

std::string TimeStampText(const TimeStampCheck& check) {
  if (!check.faults.empty()) return "FAILS (" + check.kind + "): " + Joined(check.faults);
  return check.time + ", by " + check.authority + " (" + check.kind + ")";
}

void ChainJson(JsonWriter& json, bool judged, const std::string& fault) {
  json.Key("chain").Open('{').Key("judged").Bool(judged).Key("holds");
  if (judged) json.Bool(fault.empty()); else json.Null();
  json.Key("error");
  if (judged && !fault.empty()) json.String(fault); else json.Null();
  json.Close();
}

void Strings(JsonWriter& json, const std::vector<std::string>& texts) {
  json.Open('[');
  for (const std::string& text : texts) json.String(text);
  json.Close();
}

void Members(JsonWriter& json, const SignatureInfo& signature) {
  const std::vector<std::string> own = OwnFaults(signature);
  json.Key("subject").String(signature.subject).Key("issuer").String(signature.issuer);
  json.Key("digest_algorithm");
  if (signature.hash) json.String(HashName(*signature.hash)); else json.Null();
  json.Key("signer_digest_algorithm");
  if (signature.signer_hash) json.String(HashName(*signature.signer_hash)); else json.Null();
  json.Key("digest_ok").Bool(signature.digest_ok);
  json.Key("signing_time");
  if (signature.signing_time.empty()) json.Null(); else json.String(signature.signing_time);
  json.Key("holds").Bool(own.empty()).Key("faults");
  Strings(json, own);
  json.Key("timestamp");
  if (!signature.timestamp) {
    json.Null();
  } else {
    const TimeStampCheck& stamp = *signature.timestamp;
    json.Open('{').Key("kind").String(stamp.kind).Key("authority").String(stamp.authority);
    json.Key("time");
    if (stamp.time.empty()) json.Null(); else json.String(stamp.time);
    json.Key("holds").Bool(stamp.faults.empty()).Key("faults");
    Strings(json, stamp.faults);
    ChainJson(json, stamp.chain_judged, stamp.chain_fault);
    json.Close();
  }
  ChainJson(json, signature.chain_judged, signature.chain_fault);
}

// Why no path leads from `leaf` to an anchor at `when`, or empty when one does.
std::string ChainFault(const Certificate& leaf, const std::vector<Certificate>& pool,
                       const std::vector<Certificate>& anchors, int64_t when) {
  std::string why;
  if (ChainToAnchor(leaf, pool, anchors, when, &why)) return "";
  return why.empty() ? "no path to a certificate of --ca-file" : why;
}

void JudgeOne(const std::vector<Certificate>& anchors, int64_t now, SignatureInfo* signature) {
  // A failed time stamp is already a failure, and its time is no time to judge a chain at; nor
  // is the time of an authority that leads to no anchor, which could have been made up.
  TimeStampCheck* stamp = signature->timestamp ? &*signature->timestamp : nullptr;
  bool stamped = stamp != nullptr && stamp->faults.empty() && stamp->certificate;
  if (stamped) {
    stamp->chain_judged = true;
    stamp->chain_fault = ChainFault(*stamp->certificate, stamp->pool, anchors, stamp->seconds);
    stamped = stamp->chain_fault.empty();
  }
  signature->chain_judged = true;
  signature->chain_fault =
      signature->signer ? ChainFault(*signature->signer, signature->certificates, anchors,
                                     stamped ? stamp->seconds : now)
                        : "there is no signer's certificate to begin it";
}

}  // namespace

std::optional<SignatureInfo> ReadSignature(ByteSpan table, std::string* why) {
  // WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType 2 (PKCS #7 SignedData).
  uint32_t length;
  uint16_t revision, type;
  ByteSpan entry;
  if (!table.Read32(0, &length) || !table.Read16(4, &revision) || !table.Read16(6, &type) ||
      length < 8 || !table.Sub(8, length - 8, &entry)) {
    *why = "the certificate table is cut short";
    return std::nullopt;
  }
  if (revision != 0x0200 || type != 2) {
    *why = "the certificate table holds no PKCS #7 signature";
    return std::nullopt;
  }
  ByteSpan at = entry;
  Der content_info;
  SignatureInfo info;
  if (!Take(&at, &content_info) || !ReadAuthenticode(content_info, false, &info)) {
    *why = "the signature is not PKCS #7 SignedData holding an Authenticode digest";
    return std::nullopt;
  }
  why->clear();
  // Whatever lies beside the signature is covered by nothing: only the zeros that pad the entry
  // to eight bytes may, and only one entry, filling the table.
  std::vector<std::string> table_faults;
  const size_t padding = at.size();
  if (padding >= 8 ||
      std::any_of(at.data(), at.data() + at.size(), [](uint8_t b) { return b != 0; })) {
    table_faults.push_back("the certificate entry hides " + std::to_string(padding) +
                           " bytes after the signature (only zeros to an 8-byte boundary may "
                           "follow it)");
  } else if (length % 8 != 0) {
    table_faults.push_back("the certificate entry is not padded to a multiple of eight bytes");
  }
  if (length != table.size()) {
    uint32_t next_length;
    uint16_t next_revision;
    const ByteSpan rest = table.From(length);
    if (rest.Read32(0, &next_length) && rest.Read16(4, &next_revision) && next_length >= 8 &&
        next_revision == 0x0200) {
      table_faults.push_back("the certificate table holds a second entry, which Windows ignores");
    } else {
      table_faults.push_back("the certificate table is " + std::to_string(table.size() - length) +
                             " bytes longer than its entry");
    }
  }
  info.faults.insert(info.faults.begin(), table_faults.begin(), table_faults.end());
  return info;
}

void CheckFileDigests(ByteSpan file, const AuthenticodeLayout& layout, SignatureInfo* signature,
                      const WindowFold& also) {
  std::map<Hash, std::vector<uint8_t>> digests;  // the file is hashed once per algorithm
  bool folded = false;
  auto check = [&](SignatureInfo* one) {
    if (!one->hash) return;
    auto found = digests.find(*one->hash);
    if (found == digests.end()) {
      AuthenticodeDigest digest(*one->hash, layout);
      ForEachWindow(file, [&](const uint8_t* data, size_t size) {
        digest.Update(data, size);
        if (!folded && also) also(data, size);
      });
      folded = true;
      found = digests.emplace(*one->hash, digest.Finish()).first;
    }
    one->digest_ok = found->second == one->digest;
  };
  check(signature);
  for (SignatureInfo& nested : signature->nested) check(&nested);
  if (!folded && also) ForEachWindow(file, also);
}

void JudgeChains(const std::vector<Certificate>& anchors, int64_t now, SignatureInfo* signature) {
  JudgeOne(anchors, now, signature);
  for (SignatureInfo& nested : signature->nested) JudgeOne(anchors, now, &nested);
}

std::vector<std::string> SignatureFaults(const SignatureInfo& signature) {
  std::vector<std::string> lines;
  AddFaults(signature, "the signature", &lines);
  return lines;
}

std::vector<std::pair<std::string, std::string>> SignatureLines(const SignatureInfo& signature) {
  std::vector<std::pair<std::string, std::string>> lines;
  lines.emplace_back("signed by", signature.signer ? signature.subject + " (issuer " +
                                                         signature.issuer + ")"
                                                   : "no certificate it carries");
  std::string digest = signature.hash ? HashName(*signature.hash) : "unknown";
  if (signature.hash) {
    digest += signature.digest_ok ? ", matches the file" : ", does NOT match the file";
  }
  lines.emplace_back("digest", digest);
  const std::vector<std::string> own = OwnFaults(signature);
  lines.emplace_back("signature", own.empty() ? "holds" : "FAILS: " + Joined(own));
  if (signature.timestamp) lines.emplace_back("timestamp", TimeStampText(*signature.timestamp));
  std::string chain = ChainText(signature.chain_judged, signature.chain_fault);
  if (signature.timestamp && signature.timestamp->chain_judged) {
    chain += "; the time stamp's: " +
             ChainText(true, signature.timestamp->chain_fault);
  }
  lines.emplace_back("chain", chain);
  for (const SignatureInfo& nested : signature.nested) {
    std::vector<std::string> faults;
    AddFaults(nested, "it", &faults);
    lines.emplace_back("nested", (nested.signer ? nested.subject : "no certificate it carries") +
                                     ", " + (nested.hash ? HashName(*nested.hash) : "unknown") +
                                     ", " +
                                     (faults.empty() ? "holds" : "FAILS: " + Joined(faults)));
  }
  return lines;
}

void SignatureJson(JsonWriter& json, const SignatureInfo& signature) {
  json.Open('{');
  Members(json, signature);
  json.Key("nested").Open('[');
  for (const SignatureInfo& nested : signature.nested) {
    json.Open('{');
    Members(json, nested);
    json.Close();
  }
  json.Close().Close();
}

}  // namespace pack
