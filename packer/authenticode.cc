#include "authenticode.h"

#include <algorithm>

namespace pack {

AuthenticodeDigest::AuthenticodeDigest(Hash hash, const AuthenticodeLayout& layout)
    : hash_(hash), layout_(layout) {}

void AuthenticodeDigest::Fold(const uint8_t* data, size_t count) {
  switch (hash_) {
    case Hash::kSha1: sha1_.Update(data, count); break;
    case Hash::kSha256: sha256_.Update(data, count); break;
    case Hash::kSha384: sha384_.Update(data, count); break;
    case Hash::kSha512: sha512_.Update(data, count); break;
  }
}

void AuthenticodeDigest::Update(const uint8_t* data, size_t count) {
  // Each left-out range, in file order, cuts the piece; what lies between them is folded.
  const uint64_t cuts[3][2] = {{layout_.checksum_field, 4},
                               {layout_.security_entry, 8},
                               {layout_.table_offset, layout_.table_size}};
  const uint64_t end = offset_ + count;
  uint64_t at = offset_;
  while (at < end) {
    uint64_t next = end;
    uint64_t skip_to = at;
    for (const auto& cut : cuts) {
      if (cut[1] == 0) continue;
      const uint64_t cut_end = cut[0] + cut[1];
      if (at >= cut[0] && at < cut_end) skip_to = std::max(skip_to, std::min(cut_end, end));
      if (cut[0] > at && cut[0] < next) next = cut[0];
    }
    if (skip_to > at) {
      at = skip_to;
      continue;
    }
    Fold(data + (at - offset_), static_cast<size_t>(next - at));
    at = next;
  }
  offset_ = end;
}

std::vector<uint8_t> AuthenticodeDigest::Finish() {
  auto bytes = [](const auto& digest) {
    return std::vector<uint8_t>(digest.begin(), digest.end());
  };
  switch (hash_) {
    case Hash::kSha1: return bytes(sha1_.Finish());
    case Hash::kSha256: return bytes(sha256_.Finish());
    case Hash::kSha384: return bytes(sha384_.Finish());
    case Hash::kSha512: break;
  }
  return bytes(sha512_.Finish());
}

}  // namespace pack
