// An installer's bytes, as they are: read back without a fault under the sanitizers, the report
// is one JSON object, and since no stub is known here, verify never finds everything holding.
// The host build carries no stub, so the bytes are also held against themselves as the
// release's stub, unsigned and with another checksum (which the comparison passes over, and
// which keeps it from taking them for the stub itself): it then reads untrusted bytes on both
// sides.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_input.h"
#include "installer_reader.h"
#include "pe_image.h"
#include "stub_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bytes in a vector of exactly their size, so that any read past them is reported.
  const std::vector<uint8_t> bytes(data, data + size);
  const pack::InstallerReport report =
      pack::ReadInstaller(pack::ByteSpan(bytes.data(), bytes.size()), {});
  const std::string json = pack::ReportJson(report);
  REQUIRE(json.size() >= 2 && json.front() == '{' && json.back() == '}', "one object: %s",
          json.c_str());
  REQUIRE(!pack::VerifyFaults(report).empty(), "verified without a known stub");
  if (report.signature) {
    // Its chains judged against no anchor can only fail, the signer's first of all.
    pack::SignatureInfo signature = *report.signature;
    pack::JudgeChains({}, 0, &signature);
    REQUIRE(!pack::SignatureFaults(signature).empty() && !pack::SignatureLines(signature).empty(),
            "a chain to no anchor holds");
  }
  REQUIRE(report.archive < static_cast<long>(report.resources.size()) &&
              (!report.setup || report.setup->resource < report.resources.size()),
          "the archive and setup are among the resources");
  std::vector<uint8_t> stub = bytes;
  uint32_t pe;
  if (pack::ByteSpan(data, size).Read32(0x3C, &pe) && uint64_t{pe} + 24 + 152 <= size) {
    stub[pe + 24 + pack::kCheckSumField] ^= 0xFF;
    memset(stub.data() + pe + 24 + pack::kSecurityEntryField, 0, 8);
  }
  for (const std::string& fault :
       pack::StubFaults(pack::ByteSpan(bytes.data(), bytes.size()),
                        pack::ByteSpan(stub.data(), stub.size()), report.resources,
                        report.resources)) {
    REQUIRE(!fault.empty() && fault.find('\n') == std::string::npos, "one line: %s",
            fault.c_str());
  }
  for (const pack::ResourceItem& item : report.resources) {
    REQUIRE(item.data.data() >= bytes.data() &&
                item.data.data() + item.data.size() <= bytes.data() + bytes.size(),
            "a resource's bytes lie inside the file");
  }
  return 0;
}
