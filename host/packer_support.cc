#include "packer_support.h"

#include <stdio.h>

std::vector<uint8_t> VersionBlockOf(const char* res_path) {
  std::vector<uint8_t> res;
  if (FILE* file = fopen(res_path, "rb")) {
    uint8_t chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) != 0;)
      res.insert(res.end(), chunk, chunk + n);
    fclose(file);
  }
  const auto get32 = [&](size_t at) {
    return static_cast<uint32_t>(res[at] | res[at + 1] << 8 | res[at + 2] << 16 |
                                 static_cast<uint32_t>(res[at + 3]) << 24);
  };
  // Each entry: data size, header size, then the type (0xFFFF and an id, or a name), the name,
  // and more fields; the data follows the header, and the next entry starts on 32 bits.
  for (size_t at = 0; at + 12 <= res.size();) {
    const uint32_t data_size = get32(at), header_size = get32(at + 4);
    if (header_size < 12 || res.size() - at < uint64_t{header_size} + data_size) break;
    if (get32(at + 8) == (16u << 16 | 0xFFFF)) {
      return std::vector<uint8_t>(res.begin() + at + header_size,
                                  res.begin() + at + header_size + data_size);
    }
    at = (at + header_size + data_size + 3) & ~size_t{3};
  }
  return {};
}
