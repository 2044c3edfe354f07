// Which files are programs Windows starts on x64, judged from their headers whichever way the
// bytes arrive: all at once, streamed a byte at a time, or read by position only where wanted.
#include "pe_kind.h"

#include <vector>

#include "bytes.h"
#include "harness.h"

namespace {

struct Shape {
  uint16_t machine = 0x8664, characteristics = 0x0022, magic = 0x20B;
  uint32_t pe = 0x80;
  size_t size = 512;
  const char* signature = "PE\0\0";
};

std::vector<uint8_t> Program(const Shape& shape) {
  std::vector<uint8_t> file(shape.size);
  auto put = [&file](size_t at, const void* bytes, size_t count) {
    for (size_t i = 0; i < count && at + i < file.size(); ++i) {
      file[at + i] = static_cast<const uint8_t*>(bytes)[i];
    }
  };
  uint8_t field[4];
  put(0, "MZ", 2);
  pack::Set32(field, shape.pe);
  put(0x3C, field, 4);
  put(shape.pe, shape.signature, 4);
  pack::Set16(field, shape.machine);
  put(shape.pe + 4, field, 2);
  pack::Set16(field, shape.characteristics);
  put(shape.pe + 22, field, 2);
  pack::Set16(field, shape.magic);
  put(shape.pe + 24, field, 2);
  return file;
}

Shape With(void (*change)(Shape&)) {
  Shape shape;
  change(shape);
  return shape;
}

}  // namespace

HOST_TEST(ProgramHeadersJudgeEveryWayTheBytesArrive) {
  const struct {
    const char* label;
    std::vector<uint8_t> file;
    const char* fault;  // empty: a program
  } cases[] = {
      {"x64", Program({}), ""},
      {"x86", Program(With([](Shape& s) { s.machine = 0x14C, s.magic = 0x10B; })), ""},
      {"PE header past the first 4 KiB",
       Program(With([](Shape& s) { s.pe = 5000, s.size = 6000; })), ""},
      {"PE header inside the MZ header", Program(With([](Shape& s) { s.pe = 4; })), ""},
      {"empty", {}, "is not a Windows program: no MZ header"},
      {"text", std::vector<uint8_t>(100, 'x'), "is not a Windows program: no MZ header"},
      {"MZ alone", {'M', 'Z'}, "is not a Windows program: its MZ header is cut short"},
      {"PE offset past the end", Program(With([](Shape& s) { s.pe = 0x10000; })),
       "is not a Windows program: its MZ header points past the end of the file for the PE "
       "header"},
      {"PE offset at the last 3 bytes", Program(With([](Shape& s) { s.pe = 509; })),
       "is not a Windows program: its MZ header points past the end of the file for the PE "
       "header"},
      {"MS-DOS program", Program(With([](Shape& s) { s.signature = "NE\0\0"; })),
       "is not a Windows program: no PE header"},
      {"PE header cut short", Program(With([](Shape& s) { s.size = 0x80 + 25; })),
       "is not a Windows program: its PE header is cut short"},
      {"DLL", Program(With([](Shape& s) { s.characteristics = 0x2022; })),
       "is a DLL, not a program"},
      {"ARM64", Program(With([](Shape& s) { s.machine = 0xAA64; })),
       "is for ARM64 (machine 0xAA64)"},
      {"unknown machine", Program(With([](Shape& s) { s.machine = 0x1234; })),
       "is for an unknown machine (0x1234)"},
      {"x64 with a PE32 header", Program(With([](Shape& s) { s.magic = 0x10B; })),
       "is not a Windows program: an x64 header with optional header magic 0x010B (it needs "
       "0x020B)"},
      {"not marked executable", Program(With([](Shape& s) { s.characteristics = 0x0020; })),
       "is not a Windows program: its header does not mark it as an executable image"},
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
    CHECK(whole.Fault(size) == c.fault, c.label + (": " + whole.Fault(size)));
    CHECK(streamed.Fault(size) == c.fault, c.label + (": " + streamed.Fault(size)));
    CHECK(wanted.Fault(size) == c.fault, c.label + (": " + wanted.Fault(size)));
    // One read of the first 4 KiB, and one of the PE header only where it lies beyond them.
    CHECK(reads <= 2 && read <= 4096 + 26, c.label);
  }
}
