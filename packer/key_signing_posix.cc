// Authenticode's PKCS #7 SignedData built here, with libcrypto only for what is cryptography:
// reading the key and certificates, and the RSA signature. The DER is laid out as osslsigncode
// lays it out (RSA PKCS #1 v1.5 signatures are deterministic), so the same inputs give the same
// bytes whichever of the two signed.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "der.h"
#include "file_io.h"
#include "key_signing.h"
#include "pack_error.h"
#include "signing.h"
#include "text.h"
#include "timestamp.h"

namespace pack {

using der::Bytes;
using der::kNull;
using der::kSha256;
using der::Sequence;
using der::SetOf;
using der::Tlv;

struct KeyMaterial {
  EVP_PKEY* key = nullptr;
  std::vector<X509*> certificates;
  X509* signer = nullptr;  // the certificate of the key, among them
  std::string timestamp_url;  // a time-stamping server to countersign, or empty
  ~KeyMaterial() {
    EVP_PKEY_free(key);
    for (X509* certificate : certificates) X509_free(certificate);
  }
};

void KeyMaterialDeleter::operator()(KeyMaterial* key) const { delete key; }

namespace {

const Bytes kSignedData = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const Bytes kRsaEncryption = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const Bytes kContentType = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x03};
const Bytes kMessageDigest = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
const Bytes kSigningTime = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
// Authenticode's own: SpcIndirectDataContent, SpcPeImageData, SpcStatementType and individual
// code signing (1.3.6.1.4.1.311.2.1.4, .15, .11 and .21).
const Bytes kIndirectData = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
const Bytes kPeImageData = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0F};
const Bytes kStatementType = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x0B};
// Authenticode's RFC 3161 countersignature (1.3.6.1.4.1.311.3.3.1).
const Bytes kRfc3161 = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x03, 0x01};
const Bytes kIndividual = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};

// SpcPeImageData: no flags but "include resources", and the file link every signing tool
// writes, "<<<Obsolete>>>" in UTF-16.
Bytes PeImageData() {
  Bytes obsolete;
  for (char c : std::string("<<<Obsolete>>>")) obsolete.insert(obsolete.end(), {0, uint8_t(c)});
  return Sequence({{0x03, 0x02, 0x07, 0x80}, Tlv(0xA0, Tlv(0xA2, Tlv(0x80, obsolete)))});
}

// What an i2d_ function writes for `object`.
template <typename T> Bytes Der(int (*encode)(const T*, unsigned char**), const T* object) {
  const int size = encode(object, nullptr);
  if (size <= 0) Fail("signing failed: cannot encode the certificate");
  Bytes out(static_cast<size_t>(size));
  unsigned char* at = out.data();
  encode(object, &at);
  return out;
}

Bytes Sha256Of(const Bytes& data) {
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (!EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr)) {
    Fail("signing failed: SHA-256 is not available");
  }
  digest.resize(size);
  return digest;
}

int GivePassphrase(char* buffer, int size, int, void* passphrase) {
  const std::string& text = *static_cast<const std::string*>(passphrase);
  if (text.empty() || text.size() > static_cast<size_t>(size)) return 0;
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<int>(text.size());
}

}  // namespace

KeyMaterialOwner LoadKeyMaterial(const Options& options) {
  InputFile certificate_file(*options.sign_cert, "certificate");
  InputFile key_file(*options.sign_key, "signing key");
  const Bytes certificates = certificate_file.ReadAll(1 << 20);
  const Bytes key_bytes = key_file.ReadAll(1 << 20);
  std::string passphrase = ReadPassphrase(options);

  KeyMaterialOwner material(new KeyMaterial);
  if (options.timestamp_url) material->timestamp_url = *options.timestamp_url;
  BIO* bio = BIO_new_mem_buf(certificates.data(), static_cast<int>(certificates.size()));
  while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    material->certificates.push_back(certificate);
  }
  BIO_free(bio);
  if (material->certificates.empty()) {
    const unsigned char* at = certificates.data();
    if (X509* certificate = d2i_X509(nullptr, &at, static_cast<long>(certificates.size()))) {
      material->certificates.push_back(certificate);
    }
  }
  ERR_clear_error();
  if (material->certificates.empty()) {
    Fail("reading the certificate " + Quoted(*options.sign_cert) +
         " failed: it holds no certificate, in PEM or DER");
  }

  bio = BIO_new_mem_buf(key_bytes.data(), static_cast<int>(key_bytes.size()));
  material->key = PEM_read_bio_PrivateKey(bio, nullptr, GivePassphrase, &passphrase);
  if (material->key == nullptr) {
    BIO_free(bio);
    bio = BIO_new_mem_buf(key_bytes.data(), static_cast<int>(key_bytes.size()));
    material->key = d2i_PKCS8PrivateKey_bio(bio, nullptr, GivePassphrase, &passphrase);
  }
  BIO_free(bio);
  if (material->key == nullptr) {
    const unsigned char* at = key_bytes.data();
    material->key = d2i_AutoPrivateKey(nullptr, &at, static_cast<long>(key_bytes.size()));
  }
  ERR_clear_error();
  if (material->key == nullptr) KeyUnreadable(options);
  // Other kinds of key keep osslsigncode's own choice of algorithm identifiers.
  if (EVP_PKEY_get_base_id(material->key) != EVP_PKEY_RSA) return nullptr;
  for (X509* certificate : material->certificates) {
    if (X509_check_private_key(certificate, material->key) == 1) {
      material->signer = certificate;
      break;
    }
  }
  ERR_clear_error();
  if (material->signer == nullptr) KeyOfNoCertificate(options);
  return material;
}

std::vector<uint8_t> SignedData(const KeyMaterial& key, const std::vector<uint8_t>& digest,
                                uint64_t signing_time) {
  const Bytes sha256 = Sequence({kSha256, kNull});
  const Bytes indirect = Sequence({Sequence({kPeImageData, PeImageData()}),
                                   Sequence({sha256, Tlv(0x04, digest)})});
  // The message digest is over the content's value, without its own tag and length.
  const Bytes value(indirect.begin() + (indirect.size() - 2 < 0x80 ? 2 : 3), indirect.end());

  // With a countersignature the signer's own time is the time of signing, as signing tools
  // write it; the server's is the one that counts.
  const time_t signed_at =
      key.timestamp_url.empty() ? static_cast<time_t>(signing_time) : std::time(nullptr);
  ASN1_TIME* time = ASN1_TIME_set(nullptr, signed_at);
  if (time == nullptr) Fail("signing failed: the signing time is out of range");
  const Bytes when = Der(i2d_ASN1_TIME, time);
  ASN1_TIME_free(time);
  const std::vector<Bytes> attributes = {
      Sequence({kContentType, Tlv(0x31, kIndirectData)}),
      Sequence({kSigningTime, Tlv(0x31, when)}),
      Sequence({kStatementType, Tlv(0x31, Sequence({kIndividual}))}),
      Sequence({kMessageDigest, Tlv(0x31, Tlv(0x04, Sha256Of(value)))}),
  };
  // Signed as a SET OF; stored under the implicit tag [0].
  const Bytes signed_attributes = SetOf(attributes);

  EVP_MD_CTX* context = EVP_MD_CTX_new();
  size_t size = 0;
  Bytes signature;
  bool signed_ok =
      context != nullptr &&
      EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key.key) == 1 &&
      EVP_DigestSign(context, nullptr, &size, signed_attributes.data(),
                     signed_attributes.size()) == 1;
  if (signed_ok) {
    signature.resize(size);
    signed_ok = EVP_DigestSign(context, signature.data(), &size, signed_attributes.data(),
                               signed_attributes.size()) == 1;
    signature.resize(size);
  }
  EVP_MD_CTX_free(context);
  ERR_clear_error();
  if (!signed_ok) Fail("signing failed: the key could not sign");

  std::vector<Bytes> certificates;
  for (X509* certificate : key.certificates) certificates.push_back(Der(i2d_X509, certificate));
  const Bytes issuer = Der(i2d_X509_NAME, X509_get_issuer_name(key.signer));
  const Bytes serial = Der(i2d_ASN1_INTEGER, X509_get_serialNumber(key.signer));
  Bytes attributes_implicit = signed_attributes;
  attributes_implicit[0] = 0xA0;
  // The countersignature, an unsigned attribute under the implicit tag [1].
  Bytes countersignature;
  if (!key.timestamp_url.empty()) {
    countersignature = Tlv(0xA1, Sequence({kRfc3161, Tlv(0x31, TimeStampToken(
                                                              key.timestamp_url, signature))}));
  }
  const Bytes signer_info =
      Sequence({{0x02, 0x01, 0x01}, Sequence({issuer, serial}), sha256, attributes_implicit,
                Sequence({kRsaEncryption, kNull}), Tlv(0x04, signature), countersignature});
  const Bytes content = Sequence({kIndirectData, Tlv(0xA0, indirect)});
  const Bytes signed_data =
      Sequence({{0x02, 0x01, 0x01}, Tlv(0x31, sha256), content, SetOf(certificates, 0xA0),
                Tlv(0x31, signer_info)});
  return Sequence({kSignedData, Tlv(0xA0, signed_data)});
}

}  // namespace pack
