// The packer's certificate reader and path of trust: certificates hand-built byte by byte for each
// field's rules, and real ones the openssl command makes at test time into a scratch folder,
// chained every way a signature's may be.
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "der.h"
#include "harness.h"
#include "x509.h"

namespace {

using pack::der::Bytes;
using pack::der::Sequence;
using pack::der::Tlv;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }
pack::ByteSpan Span(const Bytes& bytes) { return pack::ByteSpan(bytes.data(), bytes.size()); }

const Bytes kEcdsaSha256 = Sequence({Tlv(6, B("\x2A\x86\x48\xCE\x3D\x04\x03\x02"))});

Bytes Extension(const std::string& oid, bool critical, const Bytes& value) {
  return Sequence({Tlv(6, B(oid)), critical ? Bytes{1, 1, 0xFF} : Bytes{}, Tlv(4, value)});
}
Bytes KeyUsage(const Bytes& bits) { return Extension("\x55\x1D\x0F", true, Tlv(3, bits)); }
Bytes Cn(const Bytes& type_and_value) {
  return pack::der::SetOf({Sequence({Tlv(6, B("\x55\x04\x03")), type_and_value})});
}

// A certificate's fields, each replaceable whole; the signature is not a real one.
enum Field { kVersion, kOuter, kSubject, kNotBefore, kNotAfter, kExtensions, kBits, kTail };
using Changes = std::vector<std::pair<Field, Bytes>>;

Bytes Build(const Changes& changes) {
  Bytes parts[] = {Tlv(0xA0, Tlv(2, {2})), kEcdsaSha256, Sequence({Cn(Tlv(0x0C, B("Kestrel")))}),
                   Tlv(0x17, B("250101000000Z")), Tlv(0x18, B("20350101000000Z")),
                   KeyUsage({7, 0x80}), Tlv(3, {0, 1, 2}), {}};
  for (const auto& change : changes) parts[change.first] = change.second;
  const Bytes key = Sequence({Sequence({Tlv(6, B("\x2A\x86\x48\xCE\x3D\x02\x01"))}), {3, 1, 0}});
  const Bytes extensions = Tlv(0xA3, Sequence({parts[kExtensions]}));
  const Bytes tbs = Sequence({parts[kVersion], {2, 1, 1}, kEcdsaSha256, parts[kSubject],
                              Sequence({parts[kNotBefore], parts[kNotAfter]}), parts[kSubject], key,
                              parts[kExtensions].empty() ? Bytes{} : extensions});
  return Sequence({tbs, parts[kOuter], parts[kBits], parts[kTail]});
}

// What the checks read: the subject, cA, path length, key usage, EKU OIDs' last bytes.
std::string Summary(const pack::Certificate& c) {
  std::string text =
      c.SubjectText() + (c.ca ? " ca" : "") + (c.unknown_critical_extension ? " critical" : "");
  if (c.path_length) text += " path" + std::to_string(*c.path_length);
  if (c.key_usage) text += " ku" + std::to_string(*c.key_usage);
  if (c.has_extended_key_usage) text += " eku";
  for (const std::string& oid : c.extended_key_usage) text += " " + std::to_string(oid.back());
  return text;
}

}  // namespace

HOST_TEST(X509ReadsEachFieldByItsRules) {
  const Bytes constraints = Extension("\x55\x1D\x13", true, Sequence({{1, 1, 0xFF}, Tlv(2, {3})}));
  const std::string purpose = "\x2B\x06\x01\x05\x05\x07\x03";  // code signing 3, time stamping 8
  const Bytes usages = Extension("\x55\x1D\x25", false, Sequence({Tlv(6, B(purpose + "\x03")),
                                                                   Tlv(6, B(purpose + "\x08"))}));
  const Bytes bmp = Tlv(0x1E, B(std::string("\0A\0B\x04\x10\0\x07", 8)));
  const Bytes organization =
      pack::der::SetOf({Sequence({Tlv(6, B("\x55\x04\x0A")), Tlv(0x0C, B("a\nb"))})});
  const struct {
    const char* label;
    Changes changes;
    const char* expect;  // how the summary and validity begin; or "!" and a part of the reason
  } rows[] = {
      {"as built", {}, "CN=Kestrel ku1 1735689600 2051222400"},
      {"usages", {{kExtensions, pack::der::Cat({constraints, KeyUsage({2, 0x84}), usages})}},
       "CN=Kestrel ca path3 ku33 eku 3 8 17"},
      {"decipherOnly", {{kExtensions, KeyUsage({7, 0, 0x80})}}, "CN=Kestrel ku256 17"},
      {"no usages", {{kExtensions, Extension("\x55\x1D\x25", false, {0x30, 0})}},
       "CN=Kestrel eku 17"},
      {"critical unknown", {{kExtensions, Extension("\x55\x1D\x1E", true, {0x30, 0})}},
       "CN=Kestrel critical 17"},
      {"plain unknown", {{kExtensions, Extension("\x55\x1D\x1E", false, {0x30, 0})}},
       "CN=Kestrel 17"},
      {"names", {{kSubject, Sequence({Cn(bmp), organization})}}, "CN=AB\xD0\x90\x07, O=a\nb ku1"},
      {"v1", {{kVersion, {}}, {kExtensions, {}}}, "CN=Kestrel 17"},
      {"utc 49", {{kNotBefore, Tlv(0x17, B("491231235959Z"))}}, "CN=Kestrel ku1 2524607999"},
      {"utc 50", {{kNotBefore, Tlv(0x17, B("500101000000Z"))}}, "CN=Kestrel ku1 -631152000"},
      {"not a leap year", {{kNotBefore, Tlv(0x18, B("20230229000000Z"))}}, "!validity"},
      {"no seconds", {{kNotBefore, Tlv(0x17, B("2501010000Z"))}}, "!validity"},
      {"no Z", {{kNotAfter, Tlv(0x18, B("203501010000000"))}}, "!validity"},
      {"fraction", {{kNotAfter, Tlv(0x18, B("20350101000000.5Z"))}}, "!validity"},
      {"duplicate", {{kExtensions, pack::der::Cat({KeyUsage({7, 0x80}), KeyUsage({7, 0x80})})}},
       "!twice"},
      {"v1 with extensions", {{kVersion, {}}}, "!damaged"},
      {"version 4", {{kVersion, Tlv(0xA0, Tlv(2, {3}))}}, "!version"},
      {"negative path length",
       {{kExtensions, Extension("\x55\x1D\x13", true, Sequence({{2, 1, 0xFF}}))}}, "!extensions"},
      {"long key usage", {{kExtensions, KeyUsage({0, 0x80, 0, 0})}}, "!extensions"},
      {"two algorithms", {{kOuter, Sequence({Tlv(6, B("\x2A\x86\x48\xCE\x3D\x04\x03\x03"))})}},
       "!two different"},
      {"unused bits", {{kBits, Tlv(3, {1, 2})}}, "!damaged"},
      {"after the signature", {{kTail, {5, 0}}}, "!damaged"},
  };
  for (const auto& row : rows) {
    const Bytes der = Build(row.changes);
    pack::Certificate c;
    std::string why;
    const bool parsed = pack::ParseCertificate(Span(der), &c, &why);
    const std::string seen =
        parsed ? Summary(c) + " " + std::to_string(c.not_before) + " " + std::to_string(c.not_after)
               : "!" + why;
    CHECK(parsed ? seen.rfind(row.expect, 0) == 0 : seen.find(row.expect + 1) != std::string::npos,
          row.label + (": " + seen));
    // Cut short it is damaged; what follows it is not its.
    Bytes longer = der;
    longer.push_back(0);
    CHECK(!pack::ParseCertificate(pack::ByteSpan(der.data(), der.size() - 1), &c, &why) &&
              pack::ParseCertificate(Span(longer), &c, &why) == parsed &&
              (!parsed || c.whole.size() == der.size()),
          row.label + std::string(" cut, longer"));
  }
}

namespace {

// What openssl makes: certificate, subject, issuer (none: self-signed), extensions, days. A
// digit ending the name shares the key of the name without it.
const char kMake[] = R"(set -e
printf '[req]\ndistinguished_name=dn\n[dn]\n[ca]\nbasicConstraints=critical,CA:true
keyUsage=critical,keyCertSign,cRLSign\n[inter]\nbasicConstraints=critical,CA:true,pathlen:0
keyUsage=critical,keyCertSign\n[noku]\nbasicConstraints=critical,CA:true\nkeyUsage=digitalSignature
[leaf]\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > c
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out root.key 2>/dev/null
make() {
  k=${1%[0-9]}
  [ -f $k.key ] || openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out $k.key
  if [ -z "$3" ]; then
    openssl req -x509 -new -key $k.key -subj "$2" -days 3650 -config c -extensions $4 -out $1.pem
  else
    openssl req -new -key $k.key -subj "$2" -config c -out $1.csr
    openssl x509 -req -in $1.csr -CA $3.pem -CAkey ${3%[0-9]}.key -set_serial $((n+=1)) \
      -days ${5:-3650} -extfile c -extensions $4 -out $1.pem
  fi
}
make root "/CN=Root/O=Kestrel" "" ca; make other /CN=Other "" ca; make inter /CN=Inter root inter
make leaf "/CN=Leaf/O=Kestrel" inter leaf; make under "/CN=Under Leaf" leaf leaf
make short "/CN=Short Inter" root ca 1; make sleaf "/CN=Short Leaf" short leaf
make sub /CN=Sub inter ca; make deep "/CN=Deep Leaf" sub leaf
make noku "/CN=No Signing" root noku; make nleaf "/CN=Noku Leaf" noku leaf
make a0 "/CN=Loop A" "" ca; make b0 "/CN=Loop B" "" ca; make a1 "/CN=Loop A" b0 ca
make b1 "/CN=Loop B" a0 ca; make lleaf "/CN=Loop Leaf" a0 leaf
cat leaf.pem root.pem > two.pem; openssl x509 -in leaf.pem -outform DER -out leaf.der
)";

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

HOST_TEST(X509ChainsReachTrustOrSayWhereThePathBroke) {
  char folder[] = "/tmp/x509-test-XXXXXX";
  if (mkdtemp(folder) == nullptr) return ReportFailure(__FILE__, __LINE__, "no scratch folder");
  const std::string dir = folder;
  std::ofstream(dir + "/make.sh") << kMake;
  const bool made = std::system(("cd " + dir + " && sh make.sh > make.log 2>&1").c_str()) == 0;
  CHECK(made, Slurp(dir + "/make.log"));
  const int64_t now = std::time(nullptr);
  std::map<std::string, Bytes> der;
  std::map<std::string, pack::Certificate> certificates;
  for (const char* name : {"root", "other", "inter", "leaf", "under", "short", "sleaf", "sub",
                           "deep", "noku", "nleaf", "a0", "b0", "a1", "b1", "lleaf"}) {
    std::string why;
    const auto blocks = pack::PemCertificates(Slurp(dir + "/" + name + ".pem"), &why);
    der[name] = blocks.empty() ? Bytes() : blocks[0];
    CHECK(blocks.size() == 1 && pack::ParseCertificate(Span(der[name]), &certificates[name], &why),
          name + (": " + why));
  }
  std::string why;
  const auto two = pack::PemCertificates(Slurp(dir + "/two.pem"), &why);
  CHECK(two.size() == 2 && two[0] == B(Slurp(dir + "/leaf.der")) && two[1] == der["root"], "two");
  CHECK(Summary(certificates["leaf"]) + " / " + certificates["leaf"].IssuerText() + " / " +
                Summary(certificates["inter"]) + " / " + Summary(certificates["root"]) ==
            "CN=Leaf, O=Kestrel ku1 eku 3 / CN=Inter / CN=Inter ca path0 ku32 / "
            "CN=Root, O=Kestrel ca ku96",
        "openssl's usages");
  Bytes tampered = der["leaf"];
  tampered.back() ^= 1;
  CHECK(pack::ParseCertificate(Span(tampered), &certificates["tampered"], &why), "tampered");
  CHECK(!pack::SignedBy(certificates["leaf"], certificates["root"], &why) &&
            why == "CN=Leaf, O=Kestrel names CN=Inter as its issuer, not CN=Root, O=Kestrel", why);

  const int64_t day = 86400;
  const struct {
    const char* leaf;
    std::vector<const char*> pool, anchors;
    int64_t when;
    const char* why;  // how it begins; empty: trusted
  } rows[] = {
      {"leaf", {"inter"}, {"root"}, now, ""},
      {"leaf", {"inter", "root", "other"}, {"root"}, now, ""},
      {"leaf", {}, {"inter"}, now, ""},
      {"leaf", {}, {"leaf"}, now, ""},
      {"leaf", {}, {"root"}, now,
       "no certificate in the CA file issued CN=Leaf, O=Kestrel (its issuer is CN=Inter)"},
      {"leaf", {"inter"}, {"other"}, now, "no certificate in the CA file issued CN=Inter"},
      {"leaf", {"inter"}, {"root"}, now - 3650 * day, "CN=Leaf, O=Kestrel is not valid until 20"},
      {"under", {"leaf", "inter"}, {"root"}, now, "CN=Leaf, O=Kestrel is not a CA"},
      {"sleaf", {"short"}, {"root"}, now, ""},
      {"sleaf", {"short"}, {"root"}, now + 2 * day, "CN=Short Inter expired on 20"},
      {"sleaf", {}, {"short"}, now + 2 * day, "CN=Short Inter expired on 20"},
      {"tampered", {"inter"}, {"root"}, now,
       "the signature of CN=Leaf, O=Kestrel by CN=Inter does not hold"},
      {"deep", {"sub", "inter"}, {"root"}, now, "CN=Inter allows 0 CA certificates below it, and"},
      {"deep", {"sub"}, {"inter"}, now, "CN=Inter allows 0"},
      {"deep", {"sub"}, {"sub"}, now, ""},
      {"nleaf", {"noku"}, {"root"}, now, "CN=No Signing is a CA whose key usage does not allow"},
      {"lleaf", {"a1", "b1"}, {"other"}, now, "no certificate in the CA file issued CN=Loop B"},
      {"lleaf", {"a1", "b1"}, {"b0"}, now, ""},
  };
  for (const auto& row : rows) {
    std::vector<pack::Certificate> pool, anchors;
    for (const char* name : row.pool) pool.push_back(certificates[name]);
    for (const char* name : row.anchors) anchors.push_back(certificates[name]);
    const bool trusted = pack::ChainToAnchor(certificates[row.leaf], pool, anchors, row.when, &why);
    CHECK(trusted == !*row.why && why.rfind(row.why, 0) == 0,
          std::string(row.leaf) + " to " + row.anchors[0] + ": " + why);
  }

  const std::string begin = "-----BEGIN CERTIFICATE-----\n";
  const std::string end = "\n-----END CERTIFICATE-----\n";
  const struct {
    std::string text;
    const char* why;
  } pem[] = {
      {"\r\n" + begin + "MA\r\n A=\r\n" + end, ""},
      {begin + "MAB=" + end, "PEM certificate 1 is not valid base64"},
      {begin + "MA*=" + end, "PEM certificate 1 is not valid base64"},
      {begin + "MAA" + end, "PEM certificate 1 is not valid base64"},
      {begin + "MAAA" + end, "PEM certificate 1 does not hold one DER certificate"},
      {begin + "MAA=" + end + begin + "MAA=", "PEM certificate 2 has no END line"},
      {"MAA=\n", "the text holds no PEM certificate"},
  };
  for (const auto& row : pem) {
    why.clear();
    const size_t count = pack::PemCertificates(row.text, &why).size();
    CHECK(count == (*row.why ? 0u : 1u) && why == row.why, row.text + ": " + why);
  }
  std::filesystem::remove_all(dir);
}
