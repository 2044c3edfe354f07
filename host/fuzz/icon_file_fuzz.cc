// An .ico file's bytes, as they are: either refused with a PackError, or every image returned is
// the bytes its directory entry names, none sharing a byte with another or the directory (so
// they add up to less than the file), each the size its entry says, and the icon group built
// from them describes exactly those images, in order, under consecutive ids.
#include <string.h>

#include <vector>

#include "fuzz/fuzz_input.h"
#include "icon_file.h"
#include "pack_error.h"

namespace {

uint32_t Get(const uint8_t* at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bytes in a vector of exactly their size, so that any read past them is reported.
  const std::vector<uint8_t> bytes(data, data + size);
  std::vector<pack::IconImage> images;
  try {
    images = pack::ParseIconFile(bytes, "icon fuzz.ico");
  } catch (const pack::PackError& error) {
    REQUIRE(strncmp(error.what(), "icon fuzz.ico", 13) == 0, "the message names the file: %s",
            error.what());
    return 0;
  }
  REQUIRE(!images.empty() && images.size() == Get(data + 4, 2), "one image per entry");
  std::vector<bool> used(size, false);
  for (size_t i = 0; i < 6 + 16 * images.size(); ++i) used[i] = true;
  for (size_t i = 0; i < images.size(); ++i) {
    const uint8_t* entry = data + 6 + 16 * i;
    const pack::IconImage& image = images[i];
    const uint32_t length = Get(entry + 8, 4), offset = Get(entry + 12, 4);
    REQUIRE(image.data.size() == length && length != 0 && offset + uint64_t{length} <= size &&
                memcmp(image.data.data(), data + offset, length) == 0,
            "image %zu is the bytes its entry names", i);
    for (uint32_t at = offset; at < offset + length; ++at) {
      REQUIRE(!used[at], "image %zu shares byte %u with the directory or another image", i, at);
      used[at] = true;
    }
    const uint8_t* pixels = image.data.data();
    const bool png = length >= 24 && memcmp(pixels, "\x89PNG\r\n\x1a\n", 8) == 0;
    const uint32_t width = png ? __builtin_bswap32(Get(pixels + 16, 4)) : Get(pixels + 4, 4);
    const uint32_t height = png ? __builtin_bswap32(Get(pixels + 20, 4)) : Get(pixels + 8, 4) / 2;
    REQUIRE(width == (entry[0] ? entry[0] : 256u) && height == (entry[1] ? entry[1] : 256u) &&
                (png || Get(pixels + 8, 4) % 2 == 0),
            "image %zu is %ux%u, its entry says %ux%u", i, width, height, entry[0], entry[1]);
    REQUIRE(image.width == entry[0] && image.height == entry[1] && image.colors == entry[2],
            "image %zu keeps its entry's size and colours", i);
    const uint16_t planes = Get(entry + 4, 2), bits = Get(entry + 6, 2);
    REQUIRE(image.planes == (planes != 0 ? planes : 1) && (bits == 0 || image.bits == bits),
            "image %zu keeps its entry's planes and bits, or has them filled in", i);
  }

  const uint16_t first_id = static_cast<uint16_t>(1 + size % 1000);
  const std::vector<uint8_t> group = pack::GroupIconData(images, first_id);
  REQUIRE(group.size() == 6 + 14 * images.size() && Get(group.data(), 2) == 0 &&
              Get(group.data() + 2, 2) == 1 && Get(group.data() + 4, 2) == images.size(),
          "the group's header counts the images");
  for (size_t i = 0; i < images.size(); ++i) {
    const uint8_t* entry = group.data() + 6 + 14 * i;
    const pack::IconImage& image = images[i];
    REQUIRE(entry[0] == image.width && entry[1] == image.height && entry[2] == image.colors &&
                entry[3] == 0 && Get(entry + 4, 2) == image.planes &&
                Get(entry + 6, 2) == image.bits && Get(entry + 8, 4) == image.data.size() &&
                Get(entry + 12, 2) == first_id + i,
            "group entry %zu describes image %zu under id %zu", i, i, first_id + i);
  }
  return 0;
}
