// An installer's bytes, as they are: read back without a fault under the sanitizers, the report
// is one JSON object, and since no stub is known here, verify never finds everything holding.
// The host build carries no stub, so the bytes are also held against themselves as the
// release's stub, unsigned and with another checksum (which the comparison passes over, and
// which keeps it from taking them for the stub itself): it then reads untrusted bytes on both
// sides. Each input is read a second time with its resource tree's shape changed as a forger
// would (directory entries aimed at other directories, the root or other data, counts made
// huge), and whatever the shape the work the reading leaves to later passes stays within the
// input's size: no data read twice, a bounded report.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_input.h"
#include "installer_reader.h"
#include "pe_image.h"
#include "stub_check.h"

namespace {

// The file offset of the resource directory's root, or 0.
uint64_t ResourceRoot(pack::ByteSpan file) {
  uint32_t pe, rva;
  uint16_t sections, optional_size;
  if (!file.Read32(0x3C, &pe) || !file.Read16(pe + 6ull, &sections) ||
      !file.Read16(pe + 20ull, &optional_size) || !file.Read32(pe + 24ull + 112 + 16, &rva)) {
    return 0;
  }
  for (uint32_t i = 0; i < sections; ++i) {
    const uint64_t header = pe + 24ull + optional_size + 40ull * i;
    uint32_t address, raw_size, raw;
    if (!file.Read32(header + 12, &address) || !file.Read32(header + 16, &raw_size) ||
        !file.Read32(header + 20, &raw)) {
      return 0;
    }
    if (rva >= address && rva - address < raw_size) return raw + uint64_t{rva - address};
  }
  return 0;
}

// The tree reshaped by the input's last bytes, three at a time: which change, and two entries
// (of the root's, the first type's and its first name's directories, one after another).
void Reshape(std::vector<uint8_t>& bytes) {
  const uint64_t root = ResourceRoot(pack::ByteSpan(bytes.data(), bytes.size()));
  if (root == 0 || bytes.size() < 16) return;
  std::vector<uint64_t> directories, entries;
  uint64_t directory = root;
  for (int level = 0; level < 3; ++level) {
    const pack::ByteSpan file(bytes.data(), bytes.size());
    uint16_t named, ids;
    uint32_t target = 0;
    if (!file.Read16(directory + 12, &named) || !file.Read16(directory + 14, &ids)) break;
    directories.push_back(directory);
    for (uint32_t i = 0; i < uint32_t{named} + ids && file.Holds(directory + 16 + 8 * i, 8); ++i) {
      entries.push_back(directory + 16 + 8ull * i);
    }
    if (!file.Read32(directory + 20, &target)) break;
    directory = root + (target & 0x7FFFFFFFu);
  }
  if (entries.empty()) return;
  for (size_t change = 0; change < 5; ++change) {
    const size_t op = bytes.size() - 1 - 3 * change;
    const uint64_t a = entries[bytes[op - 1] % entries.size()];
    const uint64_t b = entries[bytes[op - 2] % entries.size()];
    const uint64_t counts = directories[bytes[op - 1] % directories.size()] + 12;
    switch (bytes[op] % 4) {
      case 0:  // a directory or data entry shared
        memcpy(&bytes[a + 4], &bytes[b + 4], 4);
        break;
      case 1:  // a loop back to the root
        memset(&bytes[a + 4], 0, 3);
        bytes[a + 7] = 0x80;
        break;
      case 2:  // data or a directory overlapping another by a byte
        bytes[a + 4] += 1;
        break;
      default:  // named or numbered entries by the ten thousand
        memset(&bytes[counts + 2 * (op % 2)], 0xFF, 2);
    }
  }
}

void Read(const std::vector<uint8_t>& bytes);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  Read(bytes);
  std::vector<uint8_t> reshaped = bytes;
  Reshape(reshaped);
  if (reshaped != bytes) Read(reshaped);
  return 0;
}

namespace {

void Read(const std::vector<uint8_t>& bytes) {
  const uint8_t* data = bytes.data();
  const size_t size = bytes.size();
  // The bytes in a vector of exactly their size, so that any read past them is reported.
  const pack::InstallerReport report =
      pack::ReadInstaller(pack::ByteSpan(bytes.data(), bytes.size()), {});
  // What the digests, the table and extract then go over: each byte of the file once, and a
  // line a kind of fault.
  uint64_t data_bytes = 0, name_units = 0;
  for (const pack::ResourceItem& item : report.resources) {
    data_bytes += item.data.size();
    name_units += item.type.name.size() + item.name.name.size();
  }
  REQUIRE(data_bytes <= size && name_units <= (16u << 20) && report.lookup_faults.size() <= 8 +
              report.resources.size() / 2,
          "work within the input's size: %llu bytes of data, %llu of names, %zu faults",
          static_cast<unsigned long long>(data_bytes), static_cast<unsigned long long>(name_units),
          report.lookup_faults.size());
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
}

}  // namespace
