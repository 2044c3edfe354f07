// An installer's bytes, as they are: read back without a fault under the sanitizers, the report
// is one JSON object, and since no stub is known here, verify never finds everything holding.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_input.h"
#include "installer_reader.h"

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
  for (const pack::ResourceItem& item : report.resources) {
    REQUIRE(item.data.data() >= bytes.data() &&
                item.data.data() + item.data.size() <= bytes.data() + bytes.size(),
            "a resource's bytes lie inside the file");
  }
  return 0;
}
