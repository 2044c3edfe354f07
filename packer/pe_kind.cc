#include "pe_kind.h"

#include <algorithm>
#include <cstring>

#include "bytes.h"

namespace pack {
namespace {

constexpr uint16_t kX64 = 0x8664, kX86 = 0x14C;
constexpr uint16_t kExecutableImage = 0x0002, kDll = 0x2000;

std::string Hex4(uint16_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) text += kDigits[value >> shift & 15];
  return text;
}

const char* MachineName(uint16_t machine) {
  switch (machine) {
    case 0xAA64: return "ARM64";
    case 0x1C0: case 0x1C2: case 0x1C4: return "ARM";
    case 0x200: return "Itanium";
    case 0x5064: return "RISC-V";
    case 0x6264: return "LoongArch";
    default: return nullptr;
  }
}

}  // namespace

uint64_t ProgramHeaders::PeOffset() const { return Get32(mz_ + 0x3C); }

void ProgramHeaders::See(uint64_t offset, const uint8_t* bytes, size_t count) {
  const auto take = [&](uint64_t start, uint8_t* into, size_t size, size_t* seen) {
    const uint64_t next = start + *seen;
    if (*seen == size || offset > next || count <= next - offset) return;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - *seen, count - (next - offset)));
    std::memcpy(into + *seen, bytes + (next - offset), piece);
    *seen += piece;
  };
  const bool had_mz = mz_seen_ == kMzHeader;
  take(0, mz_, kMzHeader, &mz_seen_);
  if (mz_seen_ != kMzHeader) return;
  const uint64_t pe = PeOffset();
  // A PE header may begin inside the MZ header, whose bytes came before its offset was known.
  if (!had_mz && pe < kMzHeader) {
    pe_seen_ = std::min<size_t>(kPeHeader, kMzHeader - static_cast<size_t>(pe));
    std::memcpy(pe_, mz_ + pe, pe_seen_);
  }
  take(pe, pe_, kPeHeader, &pe_seen_);
}

ProgramHeaders::Range ProgramHeaders::Wanted(uint64_t size) const {
  if (mz_seen_ < std::min<uint64_t>(kMzHeader, size)) {
    return {0, static_cast<size_t>(std::min<uint64_t>(kFirstRead, size))};
  }
  if (mz_seen_ < kMzHeader || mz_[0] != 'M' || mz_[1] != 'Z') return {};
  const uint64_t pe = PeOffset();
  if (pe >= size) return {};
  const size_t needed = static_cast<size_t>(std::min<uint64_t>(kPeHeader, size - pe));
  if (pe_seen_ >= needed) return {};
  return {pe + pe_seen_, needed - pe_seen_};
}

std::string ProgramHeaders::Fault(uint64_t size) const {
  const std::string none = "is not a Windows program: ";
  if (size < 2 || mz_seen_ < 2 || mz_[0] != 'M' || mz_[1] != 'Z') return none + "no MZ header";
  if (size < kMzHeader) return none + "its MZ header is cut short";
  const uint64_t pe = PeOffset();
  if (pe >= size || size - pe < 4) {
    return none + "its MZ header points past the end of the file for the PE header";
  }
  if (pe_seen_ < 4 || std::memcmp(pe_, "PE\0\0", 4) != 0) return none + "no PE header";
  if (size - pe < kPeHeader || pe_seen_ < kPeHeader) return none + "its PE header is cut short";
  const uint16_t machine = Get16(pe_ + 4), characteristics = Get16(pe_ + 22),
                 magic = Get16(pe_ + 24);
  if (machine != kX64 && machine != kX86) {
    const char* name = MachineName(machine);
    return name ? std::string("is for ") + name + " (machine " + Hex4(machine) + ")"
                : "is for an unknown machine (" + Hex4(machine) + ")";
  }
  const uint16_t expected = machine == kX64 ? 0x20B : 0x10B;
  if (magic != expected) {
    return none + "an " + (machine == kX64 ? "x64" : "x86") + " header with optional header magic " +
           Hex4(magic) + " (it needs " + Hex4(expected) + ")";
  }
  if (characteristics & kDll) return "is a DLL, not a program";
  if (!(characteristics & kExecutableImage)) {
    return none + "its header does not mark it as an executable image";
  }
  return "";
}

}  // namespace pack
