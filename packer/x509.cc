#include "x509.h"

#include <cstdio>
#include <cstring>

#include "der.h"
#include "text.h"

namespace pack {
namespace {

using der::Expect;
using der::Take;
using Der = der::Node;
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kContext3 = 0xA3;
constexpr uint8_t kIssuerUniqueId = 0x81;  // [1] and [2] IMPLICIT BIT STRING
constexpr uint8_t kSubjectUniqueId = 0x82;

// Extension OIDs, content bytes.
const std::string kBasicConstraints("\x55\x1D\x13", 3);
const std::string kKeyUsage("\x55\x1D\x0F", 3);
const std::string kExtendedKeyUsage("\x55\x1D\x25", 3);

bool Same(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

bool Refuse(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

// "YYYY-MM-DD", and with `clock` "THH:MM:SSZ" after it, of a time in seconds since 1970.
std::string CivilText(int64_t seconds, bool clock) {
  int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2);
  const int64_t second_of_day = seconds - (seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0)) * 86400;
  char text[48];
  if (clock) {
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<long long>(year), month, day,
                  static_cast<unsigned>(second_of_day / 3600),
                  static_cast<unsigned>(second_of_day / 60 % 60),
                  static_cast<unsigned>(second_of_day % 60));
  } else {
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(year), month, day);
  }
  return text;
}

std::string DateText(int64_t seconds) { return CivilText(seconds, false); }

// UTCTime YYMMDDHHMMSSZ (50..99 being 19xx) or GeneralizedTime YYYYMMDDHHMMSSZ, exactly as DER
// writes them: no offsets, no missing seconds, and no fraction unless `fraction` takes one (and
// drops it).
bool ReadTime(const Der& time, bool fraction, int64_t* out) {
  std::string text = time.Bytes();
  if (fraction && time.tag == der::kGeneralizedTime && text.size() > 16 && text[14] == '.' &&
      text.back() == 'Z' && text[text.size() - 2] != '0') {
    for (size_t i = 15; i + 1 < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    text = text.substr(0, 14) + "Z";
  }
  size_t year_digits;
  if (time.tag == der::kUtcTime && text.size() == 13) {
    year_digits = 2;
  } else if (time.tag == der::kGeneralizedTime && text.size() == 15) {
    year_digits = 4;
  } else {
    return false;
  }
  if (text.back() != 'Z') return false;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  auto number = [&](size_t at, size_t count) {
    unsigned value = 0;
    for (size_t i = 0; i < count; ++i) {
      value = value * 10 + static_cast<unsigned>(text[at + i] - '0');
    }
    return value;
  };
  unsigned year = number(0, year_digits);
  if (year_digits == 2) year += year >= 50 ? 1900 : 2000;
  const size_t at = year_digits;
  const unsigned month = number(at, 2), day = number(at + 2, 2), hour = number(at + 4, 2),
                 minute = number(at + 6, 2), second = number(at + 8, 2);
  static const unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  *out = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

// Name: a SEQUENCE OF non-empty SETs of SEQUENCE { OID, value }.
bool NameShape(const Der& name) {
  if (name.tag != der::kSequenceTag) return false;
  ByteSpan sets = name.content;
  Der set, pair, oid, value;
  while (!sets.empty()) {
    if (!Expect(&sets, der::kSetTag, &set) || set.content.empty()) return false;
    ByteSpan pairs = set.content;
    while (!pairs.empty()) {
      if (!Expect(&pairs, der::kSequenceTag, &pair)) return false;
      ByteSpan fields = pair.content;
      if (!Expect(&fields, der::kOid, &oid) || !Take(&fields, &value) || !fields.empty()) {
        return false;
      }
    }
  }
  return true;
}

bool AlgorithmShape(const Der& algorithm) {
  ByteSpan fields = algorithm.content;
  Der oid;
  return algorithm.tag == der::kSequenceTag && Expect(&fields, der::kOid, &oid) &&
         !oid.content.empty();
}

// A BOOLEAN's value; DER writes TRUE as FF, and anything but 00 or FF is damage.
bool ReadBoolean(const Der& node, bool* out) {
  if (node.tag != kBoolean || node.content.size() != 1) return false;
  const uint8_t value = node.content.data()[0];
  if (value != 0x00 && value != 0xFF) return false;
  *out = value == 0xFF;
  return true;
}

bool ReadBasicConstraints(ByteSpan value, Certificate* out) {
  Der sequence, field;
  if (!Expect(&value, der::kSequenceTag, &sequence) || !value.empty()) return false;
  ByteSpan fields = sequence.content;
  if (fields.empty()) return true;
  if (!Take(&fields, &field)) return false;
  if (field.tag == kBoolean) {
    if (!ReadBoolean(field, &out->ca)) return false;
    if (fields.empty()) return true;
    if (!Take(&fields, &field)) return false;
  }
  // pathLenConstraint: a non-negative INTEGER, minimally encoded.
  const ByteSpan digits = field.content;
  if (field.tag != der::kInteger || digits.empty() || !fields.empty() ||
      (digits.data()[0] & 0x80) ||
      (digits.size() > 1 && digits.data()[0] == 0 && !(digits.data()[1] & 0x80))) {
    return false;
  }
  uint64_t length = 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    length = length << 8 | digits.data()[i];
    if (length > UINT32_MAX) return false;
  }
  out->path_length = static_cast<uint32_t>(length);
  return true;
}

bool ReadKeyUsage(ByteSpan value, Certificate* out) {
  Der bits;
  if (!Expect(&value, der::kBitString, &bits) || !value.empty()) return false;
  const ByteSpan content = bits.content;
  // The unused-bits count, then at most the two bytes that hold the nine usages named so far.
  if (content.empty() || content.size() > 3 || content.data()[0] > 7 ||
      (content.size() == 1 && content.data()[0] != 0)) {
    return false;
  }
  uint16_t usage = 0;
  for (size_t byte = 1; byte < content.size(); ++byte) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (content.data()[byte] & (0x80 >> bit)) {
        usage |= static_cast<uint16_t>(1u << ((byte - 1) * 8 + bit));
      }
    }
  }
  out->key_usage = usage;
  return true;
}

bool ReadExtendedKeyUsage(ByteSpan value, Certificate* out) {
  Der sequence, oid;
  if (!Expect(&value, der::kSequenceTag, &sequence) || !value.empty()) return false;
  ByteSpan oids = sequence.content;
  while (!oids.empty()) {
    if (!Expect(&oids, der::kOid, &oid) || oid.content.empty()) return false;
    out->extended_key_usage.push_back(oid.Bytes());
  }
  out->has_extended_key_usage = true;
  return true;
}

bool ReadExtensions(const Der& explicit3, Certificate* out, std::string* why) {
  ByteSpan inside = explicit3.content;
  Der list;
  if (!Expect(&inside, der::kSequenceTag, &list) || !inside.empty()) {
    return Refuse(why, "the certificate's extensions are damaged");
  }
  std::vector<std::string> seen;
  ByteSpan extensions = list.content;
  while (!extensions.empty()) {
    Der extension, oid, field;
    if (!Expect(&extensions, der::kSequenceTag, &extension)) {
      return Refuse(why, "the certificate's extensions are damaged");
    }
    ByteSpan fields = extension.content;
    bool critical = false;
    if (!Expect(&fields, der::kOid, &oid) || oid.content.empty() || !Take(&fields, &field) ||
        (field.tag == kBoolean && (!ReadBoolean(field, &critical) || !Take(&fields, &field))) ||
        field.tag != der::kOctetString || !fields.empty()) {
      return Refuse(why, "the certificate's extensions are damaged");
    }
    const std::string name = oid.Bytes();
    for (const std::string& earlier : seen) {
      if (earlier == name) return Refuse(why, "the certificate carries an extension twice");
    }
    seen.push_back(name);
    bool read = true;
    if (name == kBasicConstraints) {
      read = ReadBasicConstraints(field.content, out);
    } else if (name == kKeyUsage) {
      read = ReadKeyUsage(field.content, out);
    } else if (name == kExtendedKeyUsage) {
      read = ReadExtendedKeyUsage(field.content, out);
    } else if (critical) {
      out->unknown_critical_extension = true;
    }
    if (!read) return Refuse(why, "the certificate's extensions are damaged");
  }
  return true;
}

}  // namespace

std::string NameText(ByteSpan name) {
  static const struct { const char* oid; const char* label; } kLabels[] = {
      {"\x55\x04\x03", "CN"}, {"\x55\x04\x0A", "O"}, {"\x55\x04\x0B", "OU"},
      {"\x55\x04\x06", "C"},  {"\x55\x04\x07", "L"}, {"\x55\x04\x08", "ST"}};
  std::string text;
  Der whole;
  if (!Expect(&name, der::kSequenceTag, &whole)) return text;
  ByteSpan sets = whole.content;
  Der set, pair, oid, value;
  while (Take(&sets, &set)) {
    ByteSpan pairs = set.content;
    while (Take(&pairs, &pair)) {
      ByteSpan fields = pair.content;
      if (!Expect(&fields, der::kOid, &oid) || !Take(&fields, &value)) continue;
      std::string label = "OID";
      for (const auto& known : kLabels) {
        if (oid.Bytes() == std::string(known.oid, 3)) label = known.label;
      }
      if (!text.empty()) text += ", ";
      // BMPString is UTF-16BE; the other string types are UTF-8 or a subset of it. The text is
      // a stranger's: whoever prints it escapes what a terminal would act on (Shown()).
      std::string shown;
      if (value.tag == 0x1E) {
        std::u16string units;
        for (size_t i = 0; i + 1 < value.content.size(); i += 2) {
          const uint8_t* at = value.content.data() + i;
          units.push_back(static_cast<char16_t>(at[0] << 8 | at[1]));
        }
        shown = Utf16ToUtf8(units);
      } else {
        shown = value.Bytes();
      }
      text += label + "=" + shown;
    }
  }
  return text;
}

std::string Certificate::SubjectText() const { return NameText(subject); }
std::string Certificate::IssuerText() const { return NameText(issuer); }

bool ParseCertificate(ByteSpan der, Certificate* out, std::string* why) {
  *out = Certificate();
  const std::string damaged = "the certificate is damaged";
  Der certificate, tbs, field, inner_algorithm, validity, start, end, outer_algorithm, bits;
  if (!Expect(&der, der::kSequenceTag, &certificate)) return Refuse(why, damaged);
  out->whole = certificate.whole;
  ByteSpan at = certificate.content;
  if (!Expect(&at, der::kSequenceTag, &tbs) || !Expect(&at, der::kSequenceTag, &outer_algorithm) ||
      !Expect(&at, der::kBitString, &bits) || !at.empty()) {
    return Refuse(why, damaged);
  }
  out->tbs = tbs.whole;
  if (!AlgorithmShape(outer_algorithm) || bits.content.empty() || bits.content.data()[0] != 0) {
    return Refuse(why, damaged);
  }
  out->signature_algorithm = outer_algorithm.whole;
  out->signature = bits.content.From(1);

  at = tbs.content;
  if (!Take(&at, &field)) return Refuse(why, damaged);
  unsigned version = 0;  // v1
  if (field.tag == der::kContext0) {
    ByteSpan inside = field.content;
    Der number;
    if (!Expect(&inside, der::kInteger, &number) || !inside.empty() || number.content.size() != 1 ||
        number.content.data()[0] > 2) {
      return Refuse(why, "the certificate's version is not 1, 2 or 3");
    }
    version = number.content.data()[0];
    if (!Take(&at, &field)) return Refuse(why, damaged);
  }
  if (field.tag != der::kInteger || field.content.empty()) return Refuse(why, damaged);
  out->serial = field.whole;
  if (!Expect(&at, der::kSequenceTag, &inner_algorithm)) return Refuse(why, damaged);
  if (!Same(inner_algorithm.whole, outer_algorithm.whole)) {
    return Refuse(why, "the certificate names two different signature algorithms");
  }
  if (!Take(&at, &field) || !NameShape(field)) return Refuse(why, damaged);
  out->issuer = field.whole;
  if (!Expect(&at, der::kSequenceTag, &validity)) return Refuse(why, damaged);
  ByteSpan times = validity.content;
  if (!Take(&times, &start) || !Take(&times, &end) || !times.empty() ||
      !ReadTime(start, false, &out->not_before) || !ReadTime(end, false, &out->not_after)) {
    return Refuse(why, "the certificate's validity is not a pair of DER times");
  }
  if (!Take(&at, &field) || !NameShape(field)) return Refuse(why, damaged);
  out->subject = field.whole;
  Der key_info;
  if (!Expect(&at, der::kSequenceTag, &key_info)) return Refuse(why, damaged);
  ByteSpan key_fields = key_info.content;
  Der key_algorithm, key_bits;
  if (!Take(&key_fields, &key_algorithm) || !AlgorithmShape(key_algorithm) ||
      !Expect(&key_fields, der::kBitString, &key_bits) || key_bits.content.empty() ||
      !key_fields.empty()) {
    return Refuse(why, "the certificate's public key is damaged");
  }
  out->public_key_info = key_info.whole;

  // Then, from version 2, the unique identifiers; from version 3, the extensions; nothing else.
  uint8_t last_tag = 0;
  while (!at.empty()) {
    if (!Take(&at, &field)) return Refuse(why, damaged);
    const bool unique_id = field.tag == kIssuerUniqueId || field.tag == kSubjectUniqueId;
    if (field.tag <= last_tag ||
        !(unique_id ? version >= 1 : (field.tag == kContext3 && version == 2))) {
      return Refuse(why, damaged);
    }
    last_tag = field.tag;
    if (field.tag == kContext3 && !ReadExtensions(field, out, why)) return false;
  }
  why->clear();
  return true;
}

namespace {

// Strict base64: the standard alphabet, whitespace only around it, '=' only as padding to a
// multiple of four, and no stray bits under the padding.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>* out) {
  std::string symbols;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    symbols += c;
  }
  if (symbols.empty() || symbols.size() % 4 != 0) return false;
  size_t padding = 0;
  while (padding < 2 && symbols[symbols.size() - 1 - padding] == '=') ++padding;
  out->clear();
  uint32_t accumulator = 0;
  unsigned bits = 0;
  for (size_t i = 0; i < symbols.size() - padding; ++i) {
    const char c = symbols[i];
    unsigned value;
    if (c >= 'A' && c <= 'Z') {
      value = static_cast<unsigned>(c - 'A');
    } else if (c >= 'a' && c <= 'z') {
      value = static_cast<unsigned>(c - 'a') + 26;
    } else if (c >= '0' && c <= '9') {
      value = static_cast<unsigned>(c - '0') + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else {
      return false;
    }
    accumulator = (accumulator << 6 | value) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<uint8_t>(accumulator >> bits));
    }
  }
  return (accumulator & ((1u << bits) - 1)) == 0;
}

}  // namespace

std::vector<std::vector<uint8_t>> PemCertificates(const std::string& text, std::string* why) {
  static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string kEnd = "-----END CERTIFICATE-----";
  std::vector<std::vector<uint8_t>> certificates;
  size_t at = 0;
  while ((at = text.find(kBegin, at)) != std::string::npos) {
    const std::string number = std::to_string(certificates.size() + 1);
    const size_t body = at + kBegin.size();
    const size_t end = text.find(kEnd, body);
    if (end == std::string::npos) {
      *why = "PEM certificate " + number + " has no END line";
      return {};
    }
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(text.substr(body, end - body), &bytes)) {
      *why = "PEM certificate " + number + " is not valid base64";
      return {};
    }
    // One DER element and nothing after it.
    ByteSpan rest(bytes.data(), bytes.size());
    Der element;
    if (!Expect(&rest, der::kSequenceTag, &element) || !rest.empty()) {
      *why = "PEM certificate " + number + " does not hold one DER certificate";
      return {};
    }
    certificates.push_back(std::move(bytes));
    at = end + kEnd.size();
  }
  if (certificates.empty()) {
    *why = "the text holds no PEM certificate";
  } else {
    why->clear();
  }
  return certificates;
}

bool SignedBy(const Certificate& subject, const Certificate& issuer, std::string* why) {
  const std::string link =
      "the signature of " + subject.SubjectText() + " by " + issuer.SubjectText();
  if (!Same(subject.issuer, issuer.subject)) {
    return Refuse(why, subject.SubjectText() + " names " + subject.IssuerText() +
                           " as its issuer, not " + issuer.SubjectText());
  }
  SignatureAlgorithm algorithm;
  std::string reason;
  if (!ReadSignatureAlgorithm(subject.signature_algorithm, std::nullopt, &algorithm, &reason)) {
    return Refuse(why, link + " cannot be checked: " + reason);
  }
  const std::vector<uint8_t> digest = HashOf(algorithm.hash, subject.tbs);
  if (!VerifySignature(issuer.public_key_info, algorithm, ByteSpan(digest.data(), digest.size()),
                       subject.signature, &reason)) {
    return Refuse(why, link + " does not hold" + (reason.empty() ? "" : ": " + reason));
  }
  why->clear();
  return true;
}

namespace {

constexpr size_t kMostLinks = 10;
// Hostile signatures can carry many certificates under one name; past this many candidate
// issuers tried, the search stops rather than walk every combination.
constexpr size_t kMostTries = 256;
constexpr uint16_t kKeyCertSign = 1 << 5;
const char kUnknownCritical[] = " carries a critical extension this program does not know";

bool Trusts(const Certificate& anchor, const Certificate& certificate) {
  return Same(anchor.whole, certificate.whole) ||
         (Same(anchor.subject, certificate.subject) &&
          Same(anchor.public_key_info, certificate.public_key_info));
}

std::string ValidityProblem(const Certificate& certificate, int64_t when) {
  if (when < certificate.not_before) {
    return certificate.SubjectText() + " is not valid until " + DateText(certificate.not_before);
  }
  if (when > certificate.not_after) {
    return certificate.SubjectText() + " expired on " + DateText(certificate.not_after);
  }
  return "";
}

class PathSearch {
 public:
  PathSearch(const std::vector<Certificate>& pool, const std::vector<Certificate>& anchors,
             int64_t when)
      : pool_(pool), anchors_(anchors), when_(when) {}

  // Whether `path`'s last certificate leads to an anchor; `below` counts the CA certificates
  // under it that a path length constraint counts (those not issued by themselves).
  bool Extend(std::vector<const Certificate*>* path, size_t below) {
    const Certificate& child = *path->back();
    bool any = false;
    for (const Certificate& anchor : anchors_) {
      if (!Same(anchor.subject, child.issuer)) continue;
      any = true;
      if (Link(child, anchor, path->size(), below, true)) return true;
    }
    for (const Certificate& candidate : pool_) {
      if (!Same(candidate.subject, child.issuer) || OnPath(*path, candidate)) continue;
      bool anchored = false;  // then the anchor itself was tried above
      for (const Certificate& anchor : anchors_) anchored = anchored || Trusts(anchor, candidate);
      if (anchored) continue;
      any = true;
      if (path->size() >= kMostLinks) {
        Note(path->size() + 1, "the path from the signer to a trusted certificate is longer than " +
                                   std::to_string(kMostLinks) + " links");
        continue;
      }
      if (!Link(child, candidate, path->size(), below, false)) continue;
      path->push_back(&candidate);
      const bool self_issued = Same(candidate.subject, candidate.issuer);
      if (Extend(path, below + (self_issued ? 0 : 1))) return true;
      path->pop_back();
    }
    if (!any) {
      Note(path->size(), "no certificate in the CA file issued " + child.SubjectText() +
                             " (its issuer is " + child.IssuerText() + ")");
    }
    return false;
  }

  std::string reason() const { return reason_; }

 private:
  static bool OnPath(const std::vector<const Certificate*>& path, const Certificate& candidate) {
    for (const Certificate* earlier : path) {
      if (Same(earlier->whole, candidate.whole)) return true;
    }
    return false;
  }

  // Keeps the first reason of the path that came nearest to trust: one that reached an anchor,
  // else the longest.
  void Note(size_t nearness, const std::string& reason) {
    if (reason_.empty() || nearness > nearness_) {
      nearness_ = nearness;
      reason_ = reason;
    }
  }

  // Whether `issuer` may issue `child` at `depth` links from the leaf, and did.
  bool Link(const Certificate& child, const Certificate& issuer, size_t depth, size_t below,
            bool anchor) {
    if (++tries_ > kMostTries) {
      Note(2 * kMostLinks + 2, "the signature's certificates offer too many paths to try");
      return false;
    }
    std::string problem = IssuerProblem(issuer, below);
    if (problem.empty()) SignedBy(child, issuer, &problem);
    if (problem.empty()) return true;
    Note(depth + (anchor ? kMostLinks + 1 : 0), problem);
    return false;
  }

  std::string IssuerProblem(const Certificate& issuer, size_t below) const {
    const std::string name = issuer.SubjectText();
    const std::string validity = ValidityProblem(issuer, when_);
    if (!validity.empty()) return validity;
    if (!issuer.ca) return name + " is not a CA";
    if (issuer.key_usage && !(*issuer.key_usage & kKeyCertSign)) {
      return name + " is a CA whose key usage does not allow signing certificates";
    }
    if (issuer.path_length && below > *issuer.path_length) {
      return name + " allows " + std::to_string(*issuer.path_length) +
             " CA certificates below it, and the path has " + std::to_string(below);
    }
    if (issuer.unknown_critical_extension) return name + kUnknownCritical;
    return "";
  }

  const std::vector<Certificate>& pool_;
  const std::vector<Certificate>& anchors_;
  const int64_t when_;
  size_t tries_ = 0;
  size_t nearness_ = 0;
  std::string reason_;
};

}  // namespace

bool ReadDerTime(const der::Node& time, bool fraction, int64_t* seconds) {
  return ReadTime(time, fraction, seconds);
}

std::string TimeText(int64_t seconds) { return CivilText(seconds, true); }

bool ChainToAnchor(const Certificate& leaf, const std::vector<Certificate>& pool,
                   const std::vector<Certificate>& anchors, int64_t when, std::string* why) {
  *why = ValidityProblem(leaf, when);
  if (!why->empty()) return false;
  if (leaf.unknown_critical_extension) return Refuse(why, leaf.SubjectText() + kUnknownCritical);
  // A certificate the user trusts as given ends its own path: it issues nothing here, so it need
  // not be a CA, but it must be in date as the user gave it.
  std::string trusted_leaf;
  for (const Certificate& anchor : anchors) {
    if (!Trusts(anchor, leaf)) continue;
    trusted_leaf = ValidityProblem(anchor, when);
    if (trusted_leaf.empty()) return true;
  }
  PathSearch search(pool, anchors, when);
  std::vector<const Certificate*> path = {&leaf};
  if (search.Extend(&path, 0)) return true;
  *why = trusted_leaf.empty() ? search.reason() : trusted_leaf;
  return false;
}

}  // namespace pack
