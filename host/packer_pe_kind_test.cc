// Which files are programs Windows starts on x64, judged from their headers whichever way the
// bytes arrive: all at once, streamed a byte at a time, or read by position only where wanted.
#include "pe_kind.h"

#include <algorithm>
#include <vector>

#include "bytes.h"
#include "harness.h"

namespace {

// A program's headers: MZ pointing at `pe`, then the PE signature, machine, characteristics and
// optional header magic, in a file of `size` bytes.
std::vector<uint8_t> Program(uint16_t machine = 0x8664, uint16_t flags = 0x22,
                             uint16_t magic = 0x20B, uint32_t pe = 0x80, size_t size = 512,
                             const char* signature = "PE\0\0") {
  std::vector<uint8_t> file(std::max<size_t>(size, pe + 26));
  file[0] = 'M', file[1] = 'Z';
  pack::Set32(&file[0x3C], pe);
  for (int i = 0; i < 4; ++i) file[pe + i] = static_cast<uint8_t>(signature[i]);
  pack::Set16(&file[pe + 4], machine);
  pack::Set16(&file[pe + 22], flags);
  pack::Set16(&file[pe + 24], magic);
  file.resize(size);
  return file;
}

}  // namespace

HOST_TEST(ProgramHeadersJudgeEveryWayTheBytesArrive) {
  const std::string none = "is not a Windows program: ";
  const struct {
    const char* label;
    std::vector<uint8_t> file;
    std::string fault;  // empty: a program
  } cases[] = {
      {"x64", Program(), ""},
      {"x86", Program(0x14C, 0x22, 0x10B), ""},
      {"PE header past the first 4 KiB", Program(0x8664, 0x22, 0x20B, 5000, 6000), ""},
      {"PE header inside the MZ header", Program(0x8664, 0x22, 0x20B, 4), ""},
      {"empty", {}, none + "no MZ header"},
      {"text", std::vector<uint8_t>(100, 'x'), none + "no MZ header"},
      {"MZ alone", {'M', 'Z'}, none + "its MZ header is cut short"},
      {"PE offset at the last 3 bytes", Program(0x8664, 0x22, 0x20B, 509),
       none + "its MZ header points past the end of the file for the PE header"},
      {"MS-DOS program", Program(0x8664, 0x22, 0x20B, 0x80, 512, "NE\0\0"), none + "no PE header"},
      {"PE header cut short", Program(0x8664, 0x22, 0x20B, 0x80, 0x80 + 25),
       none + "its PE header is cut short"},
      {"DLL", Program(0x8664, 0x2022), "is a DLL, not a program"},
      {"ARM64", Program(0xAA64), "is for ARM64 (machine 0xAA64)"},
      {"unknown machine", Program(0x1234), "is for an unknown machine (0x1234)"},
      {"x64 with a PE32 header", Program(0x8664, 0x22, 0x10B),
       none + "an x64 header with optional header magic 0x010B (it needs 0x020B)"},
      {"not marked executable", Program(0x8664, 0x20),
       none + "its header does not mark it as an executable image"},
  };
  for (const auto& c : cases) {
    const uint64_t size = c.file.size();
    pack::ProgramHeaders whole, streamed, wanted;
    whole.See(0, c.file.data(), c.file.size());
    for (size_t i = 0; i < c.file.size(); ++i) streamed.See(i, &c.file[i], 1);
    size_t read = 0, reads = 0;
    for (auto range = wanted.Wanted(size); range.count != 0 && reads < 4;
         range = wanted.Wanted(size), ++reads) {
      wanted.See(range.offset, c.file.data() + range.offset, range.count);
      read += range.count;
    }
    for (const pack::ProgramHeaders* headers : {&whole, &streamed, &wanted}) {
      CHECK(headers->Fault(size) == c.fault, c.label + (": " + headers->Fault(size)));
    }
    // One read of the first 4 KiB, and one of the PE header only where it lies beyond them.
    CHECK(reads <= 2 && read <= 4096 + 26, c.label);
  }
}
