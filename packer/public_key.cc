#include "public_key.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "big_number.h"
#include "der.h"
#include "sha256.h"
#include "sha512.h"

namespace pack {
namespace {

using der::Node;
using Scheme = SignatureAlgorithm::Scheme;

bool Refuse(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

template <typename Digest>
std::vector<uint8_t> DigestOf(ByteSpan data) {
  Digest digest;
  if (!data.empty()) digest.Update(data.data(), data.size());
  const auto sum = digest.Finish();
  return std::vector<uint8_t>(sum.begin(), sum.end());
}

// Object identifiers, content bytes.
const std::string kRsaEncryption("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x01", 9);
const std::string kRsaPss("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0A", 9);
const std::string kMgf1("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x08", 9);
const std::string kEcPublicKey("\x2A\x86\x48\xCE\x3D\x02\x01", 7);

const struct {
  std::string oid;
  Hash hash;
} kHashes[] = {
    {std::string("\x2B\x0E\x03\x02\x1A", 5), Hash::kSha1},
    {std::string("\x60\x86\x48\x01\x65\x03\x04\x02\x01", 9), Hash::kSha256},
    {std::string("\x60\x86\x48\x01\x65\x03\x04\x02\x02", 9), Hash::kSha384},
    {std::string("\x60\x86\x48\x01\x65\x03\x04\x02\x03", 9), Hash::kSha512},
};

// The identifiers that name their scheme alone; PSS, with its parameters, is read apart. Those
// without a hash take the digest's.
const struct {
  std::string oid;
  Scheme scheme;
  std::optional<Hash> hash;
} kAlgorithms[] = {
    {kRsaEncryption, Scheme::kRsaPkcs1, std::nullopt},
    {std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x05", 9), Scheme::kRsaPkcs1, Hash::kSha1},
    {std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B", 9), Scheme::kRsaPkcs1, Hash::kSha256},
    {std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0C", 9), Scheme::kRsaPkcs1, Hash::kSha384},
    {std::string("\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0D", 9), Scheme::kRsaPkcs1, Hash::kSha512},
    {std::string("\x2A\x86\x48\xCE\x3D\x04\x01", 7), Scheme::kEcdsa, Hash::kSha1},
    {std::string("\x2A\x86\x48\xCE\x3D\x04\x03\x02", 8), Scheme::kEcdsa, Hash::kSha256},
    {std::string("\x2A\x86\x48\xCE\x3D\x04\x03\x03", 8), Scheme::kEcdsa, Hash::kSha384},
    {std::string("\x2A\x86\x48\xCE\x3D\x04\x03\x04", 8), Scheme::kEcdsa, Hash::kSha512},
    {kEcPublicKey, Scheme::kEcdsa, std::nullopt},
};

// Both curves have a = -3, p = 3 mod 4 and a prime order (every point on the curve but the
// point at infinity generates the whole group), and orders of whole bytes.
struct Curve {
  const char* name;
  std::string oid;
  size_t size;  // bytes of p and of n
  const char *p, *n, *b, *gx, *gy;
};
const Curve kCurves[] = {
    {"P-256", std::string("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8), 32,
     "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
     "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551",
     "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b",
     "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296",
     "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5"},
    {"P-384", std::string("\x2B\x81\x04\x00\x22", 5), 48,
     "fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff0000000000000000fffff"
     "fff",
     "ffffffffffffffffffffffffffffffffffffffffffffffffc7634d81f4372ddf581a0db248b0a77aecec196accc52"
     "973",
     "b3312fa7e23ee7e4988e056be3f82d19181d9c6efe8141120314088f5013875ac656398d8a2ed19d2a85c8edd3ec2"
     "aef",
     "aa87ca22be8b05378eb1c71ef320ad746e1d3b628ba79b9859f741e082542a385502f25dbf55296c3a545e3872760"
     "ab7",
     "3617de4a96262c6f5d9e98bf9292dc29f8f41dbd289a147ce9da3113b5f0b8c00a60b1ce1d7e819d7a431d7c90ea0"
     "e5f"},
};

Limbs FromHex(const char* hex) {
  std::vector<uint8_t> bytes;
  auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (; hex[0] != 0 && hex[1] != 0; hex += 2) {
    bytes.push_back(static_cast<uint8_t>(digit(hex[0]) << 4 | digit(hex[1])));
  }
  Limbs out;
  LimbsOf(ByteSpan(bytes.data(), bytes.size()), (bytes.size() + 7) / 8, &out);
  return out;
}

// Dotted, for naming what is not understood.
std::string OidText(ByteSpan oid) {
  std::string text;
  uint64_t arc = 0;
  for (size_t i = 0; i < oid.size(); ++i) {
    const uint8_t byte = oid.data()[i];
    if (arc >> 57 != 0) return "(unreadable)";
    arc = arc << 7 | (byte & 0x7F);
    if (byte & 0x80) continue;
    if (text.empty()) {
      const uint64_t top = arc < 80 ? arc / 40 : 2;
      text = std::to_string(top) + "." + std::to_string(arc - 40 * top);
    } else {
      text += "." + std::to_string(arc);
    }
    arc = 0;
  }
  return text.empty() || (oid.data()[oid.size() - 1] & 0x80) ? "(unreadable)" : text;
}

size_t HeaderSize(size_t length) {
  size_t size = 2;
  if (length >= 0x80) {
    for (; length != 0; length >>= 8) ++size;
  }
  return size;
}

// The next element, of tag `tag`, its length in the fewest bytes as DER has it.
bool Strict(ByteSpan* rest, uint8_t tag, Node* out) {
  return der::Expect(rest, tag, out) &&
         out->whole.size() - out->content.size() == HeaderSize(out->content.size());
}

// One element that must make up all of `bytes`.
bool Whole(ByteSpan bytes, uint8_t tag, Node* out) {
  return Strict(&bytes, tag, out) && bytes.empty();
}

// An INTEGER that is not negative and has no needless leading byte; its magnitude, with the
// zero byte that keeps it positive dropped.
bool TakeUnsigned(ByteSpan* rest, ByteSpan* magnitude) {
  Node node;
  if (!Strict(rest, der::kInteger, &node) || node.content.empty()) return false;
  const uint8_t* value = node.content.data();
  if (value[0] & 0x80) return false;
  if (node.content.size() > 1 && value[0] == 0 && !(value[1] & 0x80)) return false;
  *magnitude = node.content.size() > 1 && value[0] == 0 ? node.content.From(1) : node.content;
  return true;
}

// What follows an AlgorithmIdentifier's OID: nothing, exactly NULL, or something else.
bool Absent(ByteSpan parameters) { return parameters.empty(); }
bool NullOrAbsent(ByteSpan parameters) {
  Node null;
  return Absent(parameters) || (Whole(parameters, der::kNullTag, &null) && null.content.empty());
}

std::optional<Hash> HashOfIdentifier(ByteSpan identifier) {
  Node sequence, oid;
  if (!Whole(identifier, der::kSequenceTag, &sequence)) return std::nullopt;
  ByteSpan fields = sequence.content;
  if (!Strict(&fields, der::kOid, &oid) || !NullOrAbsent(fields)) return std::nullopt;
  return HashOfOid(oid.content);
}

const std::string& OidOf(Hash hash) {
  for (const auto& known : kHashes) {
    if (known.hash == hash) return known.oid;
  }
  return kHashes[0].oid;
}

bool ReadUint32(ByteSpan* rest, uint32_t* out) {
  ByteSpan magnitude;
  if (!TakeUnsigned(rest, &magnitude) || magnitude.size() > 4) return false;
  *out = 0;
  for (size_t i = 0; i < magnitude.size(); ++i) *out = *out << 8 | magnitude.data()[i];
  return true;
}

// RSASSA-PSS-params: [0] hash, [1] mask generation, [2] salt length, [3] trailer, each optional
// and in that order, with SHA-1, MGF1 with SHA-1, 20 and 1 for those left out. Some signers
// write a default out: it is taken.
bool ReadPssParameters(ByteSpan parameters, SignatureAlgorithm* out, std::string* why) {
  const std::string damaged = "the RSASSA-PSS parameters are not DER";
  Node sequence, field, mgf, mgf_oid;
  if (!Whole(parameters, der::kSequenceTag, &sequence)) return Refuse(why, damaged);
  out->hash = out->mgf1_hash = Hash::kSha1;
  out->salt_length = 20;
  uint8_t next = der::kContext0;
  for (ByteSpan fields = sequence.content; !fields.empty();) {
    if (!der::Take(&fields, &field) || field.tag < next || field.tag > der::kContext0 + 3 ||
        field.whole.size() - field.content.size() != HeaderSize(field.content.size())) {
      return Refuse(why, damaged);
    }
    next = static_cast<uint8_t>(field.tag + 1);
    ByteSpan inside = field.content;
    if (field.tag == der::kContext0) {
      const std::optional<Hash> hash = HashOfIdentifier(inside);
      if (!hash) return Refuse(why, "the RSASSA-PSS hash is not sha1, sha256, sha384 or sha512");
      out->hash = *hash;
    } else if (field.tag == der::kContext1) {
      if (!Whole(inside, der::kSequenceTag, &mgf)) return Refuse(why, damaged);
      ByteSpan mgf_fields = mgf.content;
      if (!Strict(&mgf_fields, der::kOid, &mgf_oid) || mgf_oid.Bytes() != kMgf1) {
        return Refuse(why, "the RSASSA-PSS mask is not made with MGF1");
      }
      const std::optional<Hash> hash = HashOfIdentifier(mgf_fields);
      if (!hash) {
        return Refuse(why, "the RSASSA-PSS MGF1 hash is not sha1, sha256, sha384 or sha512");
      }
      out->mgf1_hash = *hash;
    } else if (field.tag == der::kContext0 + 2) {
      if (!ReadUint32(&inside, &out->salt_length) || !inside.empty()) return Refuse(why, damaged);
    } else {
      uint32_t trailer = 0;
      if (!ReadUint32(&inside, &trailer) || !inside.empty()) return Refuse(why, damaged);
      if (trailer != 1) return Refuse(why, "the RSASSA-PSS trailer is not 0xBC");
    }
  }
  return true;
}

struct PublicKey {
  bool rsa = false;
  Limbs n, e;  // RSA
  size_t bits = 0;
  const Curve* curve = nullptr;  // ECDSA
  Limbs x, y;                    // the point, as plain numbers
};

bool ReadRsaKey(ByteSpan bits, PublicKey* key, std::string* why) {
  const std::string damaged = "the RSA key is not DER";
  Node sequence;
  ByteSpan n, e;
  if (!Whole(bits, der::kSequenceTag, &sequence)) return Refuse(why, damaged);
  ByteSpan fields = sequence.content;
  if (!TakeUnsigned(&fields, &n) || !TakeUnsigned(&fields, &e) || !fields.empty()) {
    return Refuse(why, damaged);
  }
  LimbsOf(n, (n.size() + 7) / 8, &key->n);
  key->bits = BitLength(key->n);
  if (key->bits < 1024 || key->bits > 16384) {
    return Refuse(why, "the RSA key has " + std::to_string(key->bits) + " bits, not 1024 to 16384");
  }
  if (!(key->n[0] & 1)) return Refuse(why, "the RSA modulus is even");
  Limbs e_wide;
  if (!LimbsOf(e, key->n.size(), &e_wide) || Compare(e_wide, key->n) >= 0) {
    return Refuse(why, "the RSA exponent is not below the modulus");
  }
  LimbsOf(e, (e.size() + 7) / 8, &key->e);
  if (key->e.empty() || !(key->e[0] & 1) || BitLength(key->e) < 2) {
    return Refuse(why, "the RSA exponent is not odd and above 1");
  }
  // Public exponents are small; a long one on a long modulus would only make the check take
  // seconds.
  if (key->bits > 3072 && BitLength(key->e) > 64) {
    return Refuse(why, "the RSA exponent is over 64 bits");
  }
  key->rsa = true;
  return true;
}

// Arithmetic on one curve: field elements in Montgomery form, kept on the stack (P-256 leaves
// the top two limbs zero), and points in Jacobian coordinates (x/z², y/z³), z zero for the point
// at infinity.
using Element = std::array<uint64_t, 6>;
struct Point {
  Element x, y, z;
};

Element ElementOf(const Limbs& limbs) {
  Element out{};
  std::copy(limbs.begin(), limbs.end(), out.begin());
  return out;
}

bool Zero(const Element& e) {
  return std::all_of(e.begin(), e.end(), [](uint64_t limb) { return limb == 0; });
}

class CurveMath {
 public:
  explicit CurveMath(const Curve& curve)
      : curve_(curve),
        field_(FromHex(curve.p)),
        order_(FromHex(curve.n)),
        b_(field_.Enter(FromHex(curve.b))),
        one_(ElementOf(field_.One())) {}

  const Montgomery& field() const { return field_; }
  const Montgomery& order() const { return order_; }

  // x³ - 3x + b.
  Limbs Right(const Limbs& x) const {
    const Limbs cube = field_.Multiply(field_.Multiply(x, x), x);
    const Limbs triple = field_.Add(field_.Add(x, x), x);
    return field_.Add(field_.Subtract(cube, triple), b_);
  }

  Point Affine(const Limbs& x, const Limbs& y) const {
    return {ElementOf(field_.Enter(x)), ElementOf(field_.Enter(y)), one_};
  }
  Point Generator() const { return Affine(FromHex(curve_.gx), FromHex(curve_.gy)); }

  Point Double(const Point& p) const {
    if (Zero(p.z)) return p;
    const Element delta = Mul(p.z, p.z), gamma = Mul(p.y, p.y), beta = Mul(p.x, gamma);
    const Element t = Mul(Minus(p.x, delta), Plus(p.x, delta));
    const Element alpha = Plus(Plus(t, t), t);
    const Element beta2 = Plus(beta, beta), beta4 = Plus(beta2, beta2);
    Point out;
    out.x = Minus(Mul(alpha, alpha), Plus(beta4, beta4));
    const Element yz = Plus(p.y, p.z);
    out.z = Minus(Minus(Mul(yz, yz), gamma), delta);
    const Element gamma2 = Mul(gamma, gamma), gamma4 = Plus(gamma2, gamma2);
    const Element gamma8 = Plus(gamma4, gamma4);
    out.y = Minus(Mul(alpha, Minus(beta4, out.x)), Plus(gamma8, gamma8));
    return out;
  }

  // Cheaper where q is affine (z one), as G and the key are.
  Point Add(const Point& p, const Point& q) const {
    if (Zero(p.z)) return q;
    if (Zero(q.z)) return p;
    const bool affine = q.z == one_;
    const Element pz2 = Mul(p.z, p.z), qz2 = affine ? one_ : Mul(q.z, q.z);
    const Element u1 = affine ? p.x : Mul(p.x, qz2), u2 = Mul(q.x, pz2);
    const Element s1 = affine ? p.y : Mul(p.y, Mul(q.z, qz2));
    const Element s2 = Mul(q.y, Mul(p.z, pz2));
    const Element h = Minus(u2, u1), r = Minus(s2, s1);
    if (Zero(h)) {
      if (Zero(r)) return Double(p);
      return {p.x, p.y, Element{}};
    }
    const Element h2 = Mul(h, h), h3 = Mul(h, h2), v = Mul(u1, h2);
    Point out;
    out.x = Minus(Minus(Mul(r, r), h3), Plus(v, v));
    out.y = Minus(Mul(r, Minus(v, out.x)), Mul(s1, h3));
    out.z = affine ? Mul(p.z, h) : Mul(Mul(p.z, q.z), h);
    return out;
  }

  // a·G + b·Q, both walked at once, from the top bit down.
  Point Combine(const Limbs& a, const Limbs& b, const Point& q) const {
    const Point g = Generator(), both = Add(g, q);
    Point sum{g.x, g.y, Element{}};
    const size_t bits = std::max(BitLength(a), BitLength(b));
    for (size_t bit = bits; bit-- > 0;) {
      sum = Double(sum);
      const bool in_a = a[bit / 64] >> (bit % 64) & 1, in_b = b[bit / 64] >> (bit % 64) & 1;
      if (in_a || in_b) sum = Add(sum, in_a && in_b ? both : in_a ? g : q);
    }
    return sum;
  }

  // x/z², as a plain number.
  Limbs AffineX(const Point& p) const {
    const size_t count = field_.count();
    const Limbs z(p.z.begin(), p.z.begin() + count);
    const Limbs z_inverse = field_.Inverse(z);
    const Limbs x(p.x.begin(), p.x.begin() + count);
    return field_.Leave(field_.Multiply(x, field_.Multiply(z_inverse, z_inverse)));
  }

 private:
  Element Mul(const Element& a, const Element& b) const {
    Element out{};
    field_.Multiply(a.data(), b.data(), out.data());
    return out;
  }
  Element Plus(const Element& a, const Element& b) const {
    Element out{};
    field_.Add(a.data(), b.data(), out.data());
    return out;
  }
  Element Minus(const Element& a, const Element& b) const {
    Element out{};
    field_.Subtract(a.data(), b.data(), out.data());
    return out;
  }

  const Curve& curve_;
  Montgomery field_, order_;
  Limbs b_;
  Element one_;
};

// Uncompressed (04 x y) or compressed (02 or 03 and x, the low bit of y), and on the curve:
// encodings of the point at infinity are none of these.
bool ReadPoint(ByteSpan point, PublicKey* key, std::string* why) {
  const Curve& curve = *key->curve;
  const size_t size = curve.size;
  const uint8_t prefix = point.empty() ? 0 : point.data()[0];
  const bool compressed = prefix == 2 || prefix == 3;
  if (!(prefix == 4 && point.size() == 1 + 2 * size) && !(compressed && point.size() == 1 + size)) {
    return Refuse(why, "the ECDSA point is not encoded as one");
  }
  const CurveMath math(curve);
  const Montgomery& field = math.field();
  const std::string off = "the ECDSA point is not on the curve";
  LimbsOf(ByteSpan(point.data() + 1, size), field.count(), &key->x);
  if (Compare(key->x, field.modulus()) >= 0) return Refuse(why, off);
  const Limbs right = math.Right(field.Enter(key->x));
  if (compressed) {
    // p = 3 mod 4: a square's root is its (p + 1)/4-th power. p + 1 fits p's limbs, p being
    // below their top value.
    Limbs exponent = field.modulus();
    for (uint64_t& limb : exponent) {
      if (++limb != 0) break;
    }
    for (size_t i = 0; i < exponent.size(); ++i) {
      exponent[i] = exponent[i] >> 2 | (i + 1 < exponent.size() ? exponent[i + 1] << 62 : 0);
    }
    const Limbs root = field.Power(right, exponent);
    if (field.Multiply(root, root) != right) return Refuse(why, off);
    key->y = field.Leave(root);
    if ((key->y[0] & 1) != (prefix & 1)) {
      if (IsZero(key->y)) return Refuse(why, off);
      key->y = Difference(field.modulus(), key->y);
    }
  } else {
    LimbsOf(ByteSpan(point.data() + 1 + size, size), field.count(), &key->y);
    if (Compare(key->y, field.modulus()) >= 0) return Refuse(why, off);
    const Limbs y = field.Enter(key->y);
    if (field.Multiply(y, y) != right) return Refuse(why, off);
  }
  return true;
}

// SubjectPublicKeyInfo: SEQUENCE { AlgorithmIdentifier, BIT STRING }.
bool ReadPublicKey(ByteSpan info, PublicKey* key, std::string* why) {
  const std::string damaged = "the public key is not DER";
  Node whole, algorithm, oid, bits, curve;
  if (!Whole(info, der::kSequenceTag, &whole)) return Refuse(why, damaged);
  ByteSpan fields = whole.content;
  if (!Strict(&fields, der::kSequenceTag, &algorithm) || !Strict(&fields, der::kBitString, &bits) ||
      !fields.empty()) {
    return Refuse(why, damaged);
  }
  ByteSpan parameters = algorithm.content;
  uint8_t unused = 1;
  if (!Strict(&parameters, der::kOid, &oid) || !bits.content.Read8(0, &unused) || unused != 0) {
    return Refuse(why, damaged);
  }
  const ByteSpan value = bits.content.From(1);
  if (oid.Bytes() == kRsaEncryption) {
    if (!NullOrAbsent(parameters)) return Refuse(why, "the RSA key has parameters");
    return ReadRsaKey(value, key, why);
  }
  if (oid.Bytes() != kEcPublicKey) {
    return Refuse(why, "the key is of unknown algorithm " + OidText(oid.content));
  }
  if (!Whole(parameters, der::kOid, &curve)) return Refuse(why, "the ECDSA key names no curve");
  for (const Curve& known : kCurves) {
    if (known.oid == curve.Bytes()) key->curve = &known;
  }
  if (key->curve == nullptr) return Refuse(why, "the ECDSA curve is not P-256 or P-384");
  return ReadPoint(value, key, why);
}

std::vector<uint8_t> Pkcs1Block(size_t size, Hash hash, ByteSpan digest, bool null_parameter) {
  const der::Bytes oid = der::Tlv(der::kOid, der::Bytes(OidOf(hash).begin(), OidOf(hash).end()));
  const der::Bytes algorithm =
      null_parameter ? der::Sequence({oid, der::kNull}) : der::Sequence({oid});
  const der::Bytes info = der::Sequence(
      {algorithm,
       der::Tlv(der::kOctetString, der::Bytes(digest.data(), digest.data() + digest.size()))});
  if (info.size() + 11 > size) return {};
  std::vector<uint8_t> block(size, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[size - info.size() - 1] = 0x00;
  std::copy(info.begin(), info.end(), block.end() - info.size());
  return block;
}

std::vector<uint8_t> Mgf1(Hash hash, const uint8_t* seed, size_t seed_size, size_t size) {
  std::vector<uint8_t> mask, input(seed, seed + seed_size);
  input.resize(seed_size + 4);
  for (uint32_t counter = 0; mask.size() < size; ++counter) {
    for (int i = 0; i < 4; ++i) {
      input[seed_size + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
    }
    const std::vector<uint8_t> part = HashOf(hash, ByteSpan(input.data(), input.size()));
    mask.insert(mask.end(), part.begin(), part.end());
  }
  mask.resize(size);
  return mask;
}

// The encoded message of `bits` - 1 bits: masked DB, H, 0xBC; DB is zeros, 0x01 and the salt,
// and H the hash of eight zeros, the digest and the salt.
bool PssMatches(const std::vector<uint8_t>& block, size_t bits, const SignatureAlgorithm& algorithm,
                ByteSpan digest) {
  const size_t em_bits = bits - 1, em_size = (em_bits + 7) / 8;
  const uint8_t* em = block.data() + (block.size() - em_size);
  if (em_size < block.size() && block[0] != 0) return false;
  const size_t hash_size = HashSize(algorithm.hash), salt = algorithm.salt_length;
  if (em_size < uint64_t{hash_size} + salt + 2 || em[em_size - 1] != 0xBC) return false;
  const size_t db_size = em_size - hash_size - 1;
  const uint8_t* h = em + db_size;
  const uint8_t top_mask = static_cast<uint8_t>(0xFF >> (8 * em_size - em_bits));
  if (em[0] & ~top_mask) return false;
  std::vector<uint8_t> db = Mgf1(algorithm.mgf1_hash, h, hash_size, db_size);
  for (size_t i = 0; i < db_size; ++i) db[i] ^= em[i];
  db[0] &= top_mask;
  for (size_t i = 0; i + salt + 1 < db_size; ++i) {
    if (db[i] != 0) return false;
  }
  if (db[db_size - salt - 1] != 0x01) return false;
  std::vector<uint8_t> message(8, 0);
  message.insert(message.end(), digest.data(), digest.data() + digest.size());
  message.insert(message.end(), db.end() - salt, db.end());
  return HashOf(algorithm.hash, ByteSpan(message.data(), message.size())) ==
         std::vector<uint8_t>(h, h + hash_size);
}

bool VerifyRsa(const PublicKey& key, const SignatureAlgorithm& algorithm, ByteSpan digest,
               ByteSpan signature, std::string* why) {
  const size_t size = (key.bits + 7) / 8;
  if (signature.size() != size) {
    return Refuse(why, "the RSA signature is not as long as the modulus");
  }
  Limbs s;
  LimbsOf(signature, key.n.size(), &s);
  if (Compare(s, key.n) >= 0) return Refuse(why, "the RSA signature is not below the modulus");
  const Montgomery modulus(key.n);
  std::vector<uint8_t> block;
  BytesOf(modulus.Leave(modulus.Power(modulus.Enter(s), key.e)), size, &block);
  // The block is compared with the ones this builds, never parsed: a reader of its padding and
  // DigestInfo lets through blocks that only begin right, which a small exponent can forge.
  const bool matches = algorithm.scheme == Scheme::kRsaPss
                           ? PssMatches(block, key.bits, algorithm, digest)
                           : block == Pkcs1Block(size, algorithm.hash, digest, true) ||
                                 block == Pkcs1Block(size, algorithm.hash, digest, false);
  return matches || Refuse(why, "the RSA signature does not match");
}

bool VerifyEcdsa(const PublicKey& key, ByteSpan digest, ByteSpan signature, std::string* why) {
  Node sequence;
  ByteSpan r_bytes, s_bytes;
  if (!Whole(signature, der::kSequenceTag, &sequence)) {
    return Refuse(why, "the ECDSA signature is not strict DER");
  }
  ByteSpan fields = sequence.content;
  if (!TakeUnsigned(&fields, &r_bytes) || !TakeUnsigned(&fields, &s_bytes) || !fields.empty()) {
    return Refuse(why, "the ECDSA signature is not strict DER");
  }
  const CurveMath math(*key.curve);
  const Montgomery& order = math.order();
  const Limbs& n = order.modulus();
  Limbs r, s, e;
  if (!LimbsOf(r_bytes, order.count(), &r) || !LimbsOf(s_bytes, order.count(), &s) || IsZero(r) ||
      IsZero(s) || Compare(r, n) >= 0 || Compare(s, n) >= 0) {
    return Refuse(why, "the ECDSA signature is out of range");
  }
  // The digest's leftmost bits, as many as the order has: whole bytes on both curves. Below 2n,
  // so one subtraction reduces it.
  LimbsOf(ByteSpan(digest.data(), std::min(digest.size(), key.curve->size)), order.count(), &e);
  if (Compare(e, n) >= 0) e = Difference(e, n);
  // A plain number times a Montgomery form is the plain product: u1 = e/s, u2 = r/s.
  const Limbs w = order.Inverse(order.Enter(s));
  const Point sum =
      math.Combine(order.Multiply(e, w), order.Multiply(r, w), math.Affine(key.x, key.y));
  if (Zero(sum.z)) return Refuse(why, "the ECDSA signature does not match");
  Limbs x = math.AffineX(sum);
  if (Compare(x, n) >= 0) x = Difference(x, n);  // x < p < 2n
  return x == r || Refuse(why, "the ECDSA signature does not match");
}

}  // namespace

size_t HashSize(Hash hash) {
  switch (hash) {
    case Hash::kSha1:
      return Sha1::kSize;
    case Hash::kSha256:
      return Sha256::kSize;
    case Hash::kSha384:
      return Sha384::kSize;
    case Hash::kSha512:
      return Sha512::kSize;
  }
  return 0;
}

const char* HashName(Hash hash) {
  switch (hash) {
    case Hash::kSha1:
      return "sha1";
    case Hash::kSha256:
      return "sha256";
    case Hash::kSha384:
      return "sha384";
    case Hash::kSha512:
      return "sha512";
  }
  return "";
}

std::vector<uint8_t> HashOf(Hash hash, ByteSpan data) {
  switch (hash) {
    case Hash::kSha1:
      return DigestOf<Sha1>(data);
    case Hash::kSha256:
      return DigestOf<Sha256>(data);
    case Hash::kSha384:
      return DigestOf<Sha384>(data);
    case Hash::kSha512:
      return DigestOf<Sha512>(data);
  }
  return {};
}

std::optional<Hash> HashOfOid(ByteSpan oid) {
  const std::string bytes(reinterpret_cast<const char*>(oid.data()), oid.size());
  for (const auto& known : kHashes) {
    if (known.oid == bytes) return known.hash;
  }
  return std::nullopt;
}

bool ReadSignatureAlgorithm(ByteSpan identifier, std::optional<Hash> digest,
                            SignatureAlgorithm* out, std::string* why) {
  *out = SignatureAlgorithm{};
  Node sequence, oid;
  if (!Whole(identifier, der::kSequenceTag, &sequence)) {
    return Refuse(why, "the signature algorithm is not DER");
  }
  ByteSpan parameters = sequence.content;
  if (!Strict(&parameters, der::kOid, &oid)) {
    return Refuse(why, "the signature algorithm is not DER");
  }
  if (oid.Bytes() == kRsaPss) {
    out->scheme = Scheme::kRsaPss;
    if (!ReadPssParameters(parameters, out, why)) return false;
  } else {
    const auto* named = std::find_if(std::begin(kAlgorithms), std::end(kAlgorithms),
                                     [&](const auto& known) { return known.oid == oid.Bytes(); });
    if (named == std::end(kAlgorithms)) {
      return Refuse(why, "unknown signature algorithm " + OidText(oid.content));
    }
    out->scheme = named->scheme;
    if (named->scheme == Scheme::kEcdsa ? !Absent(parameters) : !NullOrAbsent(parameters)) {
      return Refuse(why, "the signature algorithm has parameters");
    }
    if (!named->hash && !digest) return Refuse(why, "the signature algorithm names no hash");
    out->hash = named->hash ? *named->hash : *digest;
  }
  if (digest && *digest != out->hash) {
    return Refuse(why, std::string("the signature algorithm names ") + HashName(out->hash) +
                           ", the digest is " + HashName(*digest));
  }
  return true;
}

bool VerifySignature(ByteSpan public_key_info, const SignatureAlgorithm& algorithm, ByteSpan digest,
                     ByteSpan signature, std::string* why) {
  PublicKey key;
  if (!ReadPublicKey(public_key_info, &key, why)) return false;
  if (digest.size() != HashSize(algorithm.hash)) {
    return Refuse(why, std::string("the digest is not one of ") + HashName(algorithm.hash));
  }
  if (algorithm.scheme == Scheme::kEcdsa) {
    if (key.rsa) return Refuse(why, "an ECDSA signature by an RSA key");
    return VerifyEcdsa(key, digest, signature, why);
  }
  if (!key.rsa) return Refuse(why, "an RSA signature by an ECDSA key");
  return VerifyRsa(key, algorithm, digest, signature, why);
}

std::string KeyDescription(ByteSpan public_key_info) {
  PublicKey key;
  std::string why;
  if (!ReadPublicKey(public_key_info, &key, &why)) return "";
  return key.rsa ? "RSA " + std::to_string(key.bits) : std::string("ECDSA ") + key.curve->name;
}

}  // namespace pack
