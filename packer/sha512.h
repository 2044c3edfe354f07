// SHA-512 and SHA-384 (the same rounds from other starting values, cut to 48 bytes), folded over
// bytes as they come: for the signatures and certificates that name them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pack {

class Sha512 {
 public:
  static constexpr size_t kSize = 64;
  Sha512();
  void Update(const void* data, size_t count);
  std::array<uint8_t, kSize> Finish();

  // Whole 128-byte blocks folded in; Update() frames the input into them.
  void Blocks(const uint8_t* data, size_t blocks);

 private:
  friend class Sha384;
  explicit Sha512(const uint64_t (&initial)[8]);
  void Block(const uint8_t* block);

  uint64_t state_[8];
  uint8_t pending_[128];
  size_t pending_size_ = 0;
  uint64_t length_ = 0;
};

class Sha384 {
 public:
  static constexpr size_t kSize = 48;
  Sha384();
  void Update(const void* data, size_t count) { whole_.Update(data, count); }
  std::array<uint8_t, kSize> Finish();

 private:
  Sha512 whole_;
};

}  // namespace pack
