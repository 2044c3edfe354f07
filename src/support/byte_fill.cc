// The byte fill and copy that the compiler emits calls to. The stub links no C runtime, so it
// supplies them; test programs keep their runtime's own (this file is linked into the stub only).
#include <stddef.h>
#include <stdint.h>

namespace {
// Unaligned, aliasing-safe stores: the destination may start at any byte.
typedef uint64_t __attribute__((may_alias, aligned(1))) Unaligned64;
typedef uint32_t __attribute__((may_alias, aligned(1))) Unaligned32;
}  // namespace

// Built with loop-pattern recognition off, or the compiler would turn these loops into calls to
// themselves.
extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(
    void* destination, int value, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(destination);
  const uint32_t byte = static_cast<unsigned char>(value);
  const uint32_t word = byte * 0x01010101u;
  const uint64_t wide = (static_cast<uint64_t>(word) << 32) | word;
  while (count >= 32) {
    Unaligned64* block = reinterpret_cast<Unaligned64*>(out);
    block[0] = wide;
    block[1] = wide;
    block[2] = wide;
    block[3] = wide;
    out += 32;
    count -= 32;
  }
  while (count >= 4) {
    *reinterpret_cast<Unaligned32*>(out) = word;
    out += 4;
    count -= 4;
  }
  while (count > 0) {
    *out++ = static_cast<unsigned char>(byte);
    --count;
  }
  return destination;
}

extern "C" __attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(
    void* destination, const void* source, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(destination);
  const unsigned char* in = static_cast<const unsigned char*>(source);
  while (count > 0) {
    *out++ = *in++;
    --count;
  }
  return destination;
}
