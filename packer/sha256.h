// SHA-256 and SHA-1, folded over bytes as they come: the packer's own, so that the Linux and the
// Windows build (which has no crypto library) give the same digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pack {

class Sha256 {
 public:
  static constexpr size_t kSize = 32;
  Sha256();
  void Update(const void* data, size_t count);
  std::array<uint8_t, kSize> Finish();

  // Whole 64-byte blocks folded in; Update() frames the input into them. With the processor's
  // SHA extensions where it has them, else in plain code.
  void Blocks(const uint8_t* data, size_t blocks);

  // Whether this processor has the extensions; the plain code alone is used while `use` is
  // false (for the tests, which hold the two against each other).
  static bool Extensions();
  static void UseExtensions(bool use);

 private:
  void Block(const uint8_t* block);

  static bool extended_;
  uint32_t state_[8];
  uint8_t pending_[64];
  size_t pending_size_ = 0;
  uint64_t length_ = 0;
};

// Only to check signatures made with it; nothing new is made with SHA-1.
class Sha1 {
 public:
  static constexpr size_t kSize = 20;
  Sha1();
  void Update(const void* data, size_t count);
  std::array<uint8_t, kSize> Finish();

  // Whole 64-byte blocks folded in; Update() frames the input into them.
  void Blocks(const uint8_t* data, size_t blocks);

 private:
  void Block(const uint8_t* block);

  uint32_t state_[5];
  uint8_t pending_[64];
  size_t pending_size_ = 0;
  uint64_t length_ = 0;
};

// Lower-case hexadecimal, two digits a byte.
std::string HexText(const uint8_t* data, size_t size);

}  // namespace pack
