// Signatures checked by public key: ones openssl makes at test time, with keys it generates into
// a scratch folder, accepted, and refused once a bit of the signature or of the digest changes or
// another key is named; hand-made signatures, keys and algorithm identifiers that must be refused.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "der.h"
#include "public_key.h"

#include "harness.h"

namespace {

using pack::Hash;
constexpr size_t npos = std::string::npos;
using Bytes = std::vector<uint8_t>;
using Scheme = pack::SignatureAlgorithm::Scheme;
namespace der = pack::der;

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), 0, 16));
  return out;
}
pack::ByteSpan Span(const Bytes& bytes) { return pack::ByteSpan(bytes.data(), bytes.size()); }
Bytes Flip(Bytes bytes, size_t at, uint8_t bit) {
  bytes[at] ^= bit;
  return bytes;
}
Bytes Integer(const Bytes& content) { return der::Tlv(der::kInteger, content); }

Bytes Algorithm(const char* oid, const Bytes& parameters = {}) {
  return der::Sequence({der::Tlv(der::kOid, Hex(oid)), parameters});
}
const char kSha1[] = "2b0e03021a", kSha256[] = "608648016503040201",
           kSha384[] = "608648016503040202", kSha512[] = "608648016503040203",
           kRsa[] = "2a864886f70d010101", kPss[] = "2a864886f70d01010a",
           kMgf1[] = "2a864886f70d010108", kEcKey[] = "2a8648ce3d0201",
           kSha256Rsa[] = "2a864886f70d01010b", kSha384Rsa[] = "2a864886f70d01010c",
           kEcdsaSha256[] = "2a8648ce3d040302";
Bytes PssFields(std::initializer_list<Bytes> fields) {
  return Algorithm(kPss, der::Sequence(fields));
}
Bytes Pss(const char* hash, const char* mgf1_hash, uint8_t salt) {
  return PssFields({der::Tlv(0xA0, Algorithm(hash)),
                    der::Tlv(0xA1, Algorithm(kMgf1, Algorithm(mgf1_hash))),
                    der::Tlv(0xA2, Integer({salt}))});
}

Bytes DigestInfo(const Bytes& digest, const Bytes& parameters) {
  return der::Sequence({Algorithm(kSha256, parameters), der::Tlv(der::kOctetString, digest)});
}
// 00 01, FF bytes, 00 and `info`: `size` bytes.
Bytes Block(size_t size, const Bytes& info) {
  Bytes block(size - info.size(), 0xFF);
  block[0] = 0, block[1] = 1, block.back() = 0;
  return der::Cat({block, info});
}

// Keys, a message and its signature as files of a folder of its own, each removed with it.
class Scratch {
 public:
  Scratch() { CHECK(mkdtemp(folder_) != nullptr, "scratch folder"); }
  ~Scratch() {
    for (const char* name : {"message", "signature", "log"}) unlink(Path(name).c_str());
    for (const std::string& key : keys_) {
      for (const char* end : {".pem", ".der", ".compressed"}) unlink(Path(key + end).c_str());
    }
    rmdir(folder_);
  }
  std::string Path(const std::string& name) const { return std::string(folder_) + "/" + name; }
  void Run(const std::string& command) const {
    const std::string line = "cd " + std::string(folder_) + " && (" + command + ") >log 2>&1";
    const int status = system(line.c_str());
    const Bytes log = Read("log");
    CHECK(status == 0, command + ": " + std::string(log.begin(), log.end()));
  }
  Bytes Read(const std::string& name) const {
    std::ifstream file(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
  }
  void Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  // "rsa2048", "p384", ..., or "<that>-other" for a second key of the kind, made when first
  // named; its public key as DER in <name>.der and, on a curve, compressed in <name>.compressed.
  Bytes Key(const std::string& name, bool compressed = false) {
    if (keys_.insert(name).second) {
      const bool curve = name[0] == 'p';
      const std::string size = name.substr(curve ? 1 : 3, curve ? 3 : 4);
      const std::string out = " && openssl pkey -in " + name + ".pem -pubout -outform DER";
      Run("openssl genpkey -out " + name + ".pem -algorithm " +
          (curve ? "EC -pkeyopt ec_paramgen_curve:P-" + size
                 : "RSA -pkeyopt rsa_keygen_bits:" + size +
                       (size == "2049" ? " -pkeyopt rsa_keygen_primes:3" : "")) +
          out + " -out " + name + ".der" +
          (curve ? out + " -ec_conv_form compressed -out " + name + ".compressed" : ""));
    }
    return Read(name + (compressed ? ".compressed" : ".der"));
  }

 private:
  char folder_[32] = "/tmp/packer-host-XXXXXX";
  std::set<std::string> keys_;
};

bool Verify(const Bytes& key, const Bytes& identifier, Hash hash, const Bytes& digest,
            const Bytes& signature, std::string* why) {
  pack::SignatureAlgorithm algorithm;
  return pack::ReadSignatureAlgorithm(Span(identifier), hash, &algorithm, why) &&
         pack::VerifySignature(Span(key), algorithm, Span(digest), Span(signature), why);
}

}  // namespace

HOST_TEST(SignaturesOpensslMakesVerifyAndNoOthers) {
  const Hash h1 = Hash::kSha1, h256 = Hash::kSha256, h384 = Hash::kSha384, h512 = Hash::kSha512;
  const struct {
    const char* label;
    const char* key;
    Hash hash;
    Bytes identifier;
    const char* pss;  // openssl's options beyond the padding mode
    bool compressed;
  } rows[] = {
      {"RSA sha1", "rsa2048", h1, Algorithm("2a864886f70d010105", der::kNull)},
      {"RSA sha256", "rsa2048", h256, Algorithm(kSha256Rsa, der::kNull)},
      {"RSA sha384 without NULL", "rsa2048", h384, Algorithm(kSha384Rsa)},
      {"RSA sha512 as rsaEncryption", "rsa2048", h512, Algorithm(kRsa, der::kNull)},
      {"RSA sha256", "rsa4096", h256, Algorithm(kSha256Rsa, der::kNull)},
      {"RSA sha384", "rsa4096", h384, Algorithm(kSha384Rsa, der::kNull)},
      {"RSA sha512", "rsa4096", h512, Algorithm("2a864886f70d01010d", der::kNull)},
      {"PSS salt 32", "rsa2048", h256, Pss(kSha256, kSha256, 32), "rsa_pss_saltlen:32"},
      {"PSS salt 0", "rsa2048", h256, Pss(kSha256, kSha256, 0), "rsa_pss_saltlen:0"},
      {"PSS salt 64", "rsa4096", h512, Pss(kSha512, kSha512, 64), "rsa_pss_saltlen:64"},
      {"PSS MGF1 sha384", "rsa2048", h256, Pss(kSha256, kSha384, 32),
       "rsa_pss_saltlen:32 -sigopt rsa_mgf1_md:sha384"},
      {"PSS defaults: sha1, MGF1 sha1, salt 20", "rsa2048", h1, PssFields({}),
       "rsa_pss_saltlen:20"},
      // The encoded message a byte shorter than the modulus, whose top byte is then zero.
      {"PSS", "rsa2049", h256, Pss(kSha256, kSha256, 32), "rsa_pss_saltlen:32"},
      {"ECDSA sha256", "p256", h256, Algorithm(kEcdsaSha256)},
      {"ECDSA sha384", "p384", h384, Algorithm("2a8648ce3d040303")},
      {"ECDSA sha512 cut to 256 bits", "p256", h512, Algorithm("2a8648ce3d040304")},
      {"compressed, ecPublicKey", "p256", h256, Algorithm(kEcKey), nullptr, true},
      {"compressed, sha1", "p384", h1, Algorithm("2a8648ce3d0401"), nullptr, true},
  };
  Scratch scratch;
  for (const auto& row : rows) {
    const std::string label = std::string(row.key) + " " + row.label;
    const Bytes message(label.begin(), label.end());
    scratch.Write("message", message);
    const Bytes key = scratch.Key(row.key, row.compressed);
    scratch.Run(std::string("openssl dgst -") + pack::HashName(row.hash) + " -sign " + row.key +
                ".pem -out signature" +
                (row.pss ? std::string(" -sigopt rsa_padding_mode:pss -sigopt ") + row.pss : "") +
                " message");
    const Bytes signature = scratch.Read("signature"),
                digest = pack::HashOf(row.hash, Span(message));
    const Bytes other = scratch.Key(row.key + std::string("-other"), row.compressed);
    const bool ecdsa = row.key[0] == 'p';
    const size_t order_size = ecdsa ? (row.key[1] == '2' ? 32 : 48) : 0;
    // The signature's lowest bit is s of an ECDSA one, which stays in range and in strict DER.
    // The digest's bits past the order's length are not signed; 02 for 03 names the other y.
    const struct {
      const char* change;
      Bytes key, digest, signature;
      bool taken;
    } checks[] = {
        {"", key, digest, signature, true},
        {"signature bit", key, digest, Flip(signature, signature.size() - 1, 1), false},
        {"digest bit", key, Flip(digest, 0, 0x80), signature, false},
        {"last digest bit", key, Flip(digest, digest.size() - 1, 1), signature,
         digest.size() > order_size && ecdsa},
        {"other key", other, digest, signature, false},
        {"other y", row.compressed ? Flip(key, key.size() - order_size - 1, 1) : other, digest,
         signature, false},
    };
    for (const auto& check : checks) {
      std::string why;
      const bool taken =
          Verify(check.key, row.identifier, row.hash, check.digest, check.signature, &why);
      // Or, with another key, a signature above its modulus.
      CHECK(taken == check.taken && (taken || why.find(" signature does not match") != npos ||
                                     why == "the RSA signature is not below the modulus"),
            label + " " + check.change + ": " + why);
    }
    CHECK(pack::KeyDescription(Span(key)) ==
              (ecdsa ? "ECDSA P-" : "RSA ") + std::string(row.key).substr(ecdsa ? 1 : 3),
          label + ": " + pack::KeyDescription(Span(key)));
  }
  // PKCS #1 blocks openssl signs as given: only the two exact encodings are taken.
  const Bytes key = scratch.Key("rsa2048"), digest(32, 0x5A);
  const Bytes info = DigestInfo(digest, der::kNull);
  const struct {
    const char* label;
    Bytes block;
    bool taken;
  } blocks[] = {
      {"DigestInfo with NULL", Block(256, info), true},
      {"DigestInfo without NULL", Block(256, DigestInfo(digest, {})), true},
      {"a byte after the DigestInfo", Block(256, der::Cat({info, {0}})), false},
      {"digest's length in long form",
       Block(256,
             der::Sequence({Algorithm(kSha256, der::kNull), der::Cat({{4, 0x81, 32}, digest})})),
       false},
  };
  for (const auto& row : blocks) {
    std::string why;
    scratch.Write("message", row.block);
    scratch.Run(
        "openssl pkeyutl -decrypt -inkey rsa2048.pem -pkeyopt rsa_padding_mode:none -in message "
        "-out signature");
    CHECK(Verify(key, Algorithm(kSha256Rsa), Hash::kSha256, digest, scratch.Read("signature"),
                 &why) == row.taken,
          std::string(row.label) + ": " + why);
  }
}

namespace {

const char kP256[] = "2a8648ce3d030107",
           kGx[] = "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296",
           kGy[] = "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5",
           kN[] = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
Bytes EcKey(const std::string& point, const char* curve = kP256) {
  return der::Sequence({Algorithm(kEcKey, der::Tlv(der::kOid, Hex(curve))),
                        der::Tlv(der::kBitString, Hex("00" + point))});
}
Bytes Ones(size_t count) { return Bytes(count, 0xFF); }
// `n` is given without the zero byte that keeps it positive.
Bytes RsaKey(const Bytes& n, const Bytes& e) {
  const Bytes numbers = der::Sequence({Integer(der::Cat({{0}, n})), Integer(e)});
  return der::Sequence(
      {Algorithm(kRsa, der::kNull), der::Tlv(der::kBitString, der::Cat({{0}, numbers}))});
}
Bytes Ecdsa(const Bytes& r, const Bytes& s) { return der::Sequence({Integer(r), Integer(s)}); }

}  // namespace

// Keys and signatures no signer makes: refused before any arithmetic, each for its own reason.
HOST_TEST(SignaturesAndKeysOutOfShapeAreRefused) {
  const Bytes digest(32, 0x5A), e65537 = {1, 0, 1}, n2048 = Ones(256);
  const Bytes generator = EcKey(std::string("04") + kGx + kGy), rs = Ecdsa({5}, {1});
  const char kRange[] = "the ECDSA signature is out of range",
             kDer[] = "the ECDSA signature is not strict DER",
             kOff[] = "the ECDSA point is not on the curve",
             kExponent[] = "the RSA exponent is not odd and above 1";
  // ECDSA where the signature is a SEQUENCE, else RSA PKCS #1.
  const struct {
    const char* label;
    Bytes key, signature;
    const char* why;
    size_t digest_size = 32;
  } rows[] = {
      {"signature n", RsaKey(n2048, e65537), Ones(256),
       "the RSA signature is not below the modulus"},
      {"a byte short", RsaKey(n2048, e65537), Ones(255),
       "the RSA signature is not as long as the modulus"},
      {"1016 bits", RsaKey(Ones(127), e65537), Ones(127),
       "the RSA key has 1016 bits, not 1024 to 16384"},
      {"even modulus", RsaKey(der::Cat({Ones(255), {0xFE}}), e65537), Ones(256),
       "the RSA modulus is even"},
      {"exponent 1", RsaKey(n2048, {1}), Ones(256), kExponent},
      {"65-bit exponent", RsaKey(Ones(512), {1, 0, 0, 0, 0, 0, 0, 0, 1}), Ones(512),
       "the RSA exponent is over 64 bits"},
      {"RSA, ECDSA key", generator, Ones(256), "an RSA signature by an ECDSA key"},
      {"r = 0", generator, Ecdsa({0}, {1}), kRange},
      {"s = n", generator, Ecdsa({1}, Hex(std::string("00") + kN)), kRange},
      {"r needlessly long", generator, Ecdsa({0, 5}, {1}), kDer},
      {"s negative", generator, Ecdsa({5}, {0xFF}), kDer},
      {"length in long form", generator, Hex("308106020105020101"), kDer},
      {"off the curve", EcKey(std::string("04") + kGx + std::string(kGy).replace(63, 1, "4")), rs,
       kOff},
      {"x = 1, no y", EcKey("02" + std::string(63, '0') + "1"), rs, kOff},
      {"infinity", EcKey("00"), rs, "the ECDSA point is not encoded as one"},
      {"20-byte digest", generator, rs, "the digest is not one of sha256", 20},
  };
  for (const auto& row : rows) {
    const pack::SignatureAlgorithm algorithm{row.signature[0] == 0x30 ? Scheme::kEcdsa
                                                                      : Scheme::kRsaPkcs1};
    const Bytes signed_digest(row.digest_size, 0x5A);
    std::string why;
    CHECK(!pack::VerifySignature(Span(row.key), algorithm, Span(signed_digest), Span(row.signature),
                                 &why) &&
              why == row.why,
          std::string(row.label) + ": " + why);
  }
}

// What an identifier names, as "<scheme> <hash>[ mgf1 <hash> salt <n>]", or why it is refused.
HOST_TEST(SignatureAlgorithmIdentifiersAreReadStrictly) {
  const Bytes pss_defaults_written =
      PssFields({der::Tlv(0xA0, Algorithm(kSha1, der::kNull)),
                 der::Tlv(0xA1, Algorithm(kMgf1, Algorithm(kSha1))), der::Tlv(0xA2, Integer({20})),
                 der::Tlv(0xA3, Integer({1}))});
  const std::optional<Hash> none;
  const char kDer[] = "the RSASSA-PSS parameters are not DER",
             kHas[] = "the signature algorithm has parameters";
  const struct {
    const char* label;
    Bytes identifier;
    std::optional<Hash> digest;
    const char* read;
  } rows[] = {
      {"PSS defaults", PssFields({}), none, "pss sha1 mgf1 sha1 salt 20"},
      {"PSS defaults written", pss_defaults_written, Hash::kSha1, "pss sha1 mgf1 sha1 salt 20"},
      {"ecPublicKey", Algorithm(kEcKey), Hash::kSha384, "ecdsa sha384"},
      {"PSS trailer 2", PssFields({der::Tlv(0xA3, Integer({2}))}), none,
       "the RSASSA-PSS trailer is not 0xBC"},
      {"PSS out of order",
       PssFields({der::Tlv(0xA2, Integer({20})), der::Tlv(0xA0, Algorithm(kSha256))}), none, kDer},
      {"PSS without parameters", Algorithm(kPss), none, kDer},
      {"PSS mask not MGF1", PssFields({der::Tlv(0xA1, Algorithm(kPss, Algorithm(kSha1)))}), none,
       "the RSASSA-PSS mask is not made with MGF1"},
      {"PSS sha256, digest sha1", Pss(kSha256, kSha256, 32), Hash::kSha1,
       "the signature algorithm names sha256, the digest is sha1"},
      {"rsaEncryption alone", Algorithm(kRsa), none, "the signature algorithm names no hash"},
      {"ECDSA with NULL", Algorithm(kEcdsaSha256, der::kNull), none, kHas},
      {"long arcs", Algorithm("2b060104018237020104"), none,
       "unknown signature algorithm 1.3.6.1.4.1.311.2.1.4"},
      {"a byte after", der::Cat({Algorithm(kSha256Rsa), {0}}), none,
       "the signature algorithm is not DER"},
  };
  for (const auto& row : rows) {
    pack::SignatureAlgorithm algorithm;
    std::string read;
    if (pack::ReadSignatureAlgorithm(Span(row.identifier), row.digest, &algorithm, &read)) {
      const char* schemes[] = {"pkcs1", "pss", "ecdsa"};
      read = std::string(schemes[static_cast<int>(algorithm.scheme)]) + " " +
             pack::HashName(algorithm.hash);
      if (algorithm.scheme == Scheme::kRsaPss) {
        read += std::string(" mgf1 ") + pack::HashName(algorithm.mgf1_hash) + " salt " +
                std::to_string(algorithm.salt_length);
      }
    }
    CHECK(read == row.read, std::string(row.label) + ": " + read);
  }
}
