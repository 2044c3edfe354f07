#include "icon_file.h"

#include <cstring>

#include "bytes.h"
#include "file_io.h"
#include "pack_error.h"

namespace pack {

namespace {

// An icon holds images of at most 256 pixels square; a larger file is not one.
constexpr uint64_t kMostIconBytes = 16 << 20;
constexpr size_t kHeaderSize = 6;
constexpr size_t kFileEntrySize = 16;   // ICONDIRENTRY: the image's offset in the file
constexpr size_t kGroupEntrySize = 14;  // GRPICONDIRENTRY: the image's resource id instead
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kBitmapHeaderSize = 40;  // BITMAPINFOHEADER, the smallest DIB header icons use

// The bits per pixel an image says it has: the PNG header's bit depth times its channels, or the
// DIB header's bit count.
uint16_t ImageBits(const std::vector<uint8_t>& image, const std::string& label) {
  if (image.size() >= sizeof(kPngSignature) &&
      std::memcmp(image.data(), kPngSignature, sizeof(kPngSignature)) == 0) {
    if (image.size() < 26 || std::memcmp(&image[12], "IHDR", 4) != 0) {
      Fail(label + " is a PNG image without its header");
    }
    const uint8_t depth = image[24];
    const uint8_t colour_type = image[25];
    // Grey, RGB, palette, grey with alpha, RGBA; any other type counts one channel.
    const uint8_t channels = colour_type == 2 ? 3 : colour_type == 4 ? 2 : colour_type == 6 ? 4 : 1;
    return static_cast<uint16_t>(depth * channels);
  }
  if (image.size() >= kBitmapHeaderSize && Get32(image.data()) >= kBitmapHeaderSize) {
    return Get16(&image[14]);
  }
  Fail(label + " is neither a PNG image nor a bitmap");
}

}  // namespace

std::vector<IconImage> ParseIconFile(const std::vector<uint8_t>& bytes, const std::string& what) {
  const size_t size = bytes.size();
  const std::string file_size = std::to_string(size);
  if (size < kHeaderSize) {
    Fail(what + " is truncated: " + file_size + " bytes, shorter than an icon header");
  }
  const uint8_t* data = bytes.data();
  const uint16_t kind = Get16(data + 2);
  if (Get16(data) != 0 || (kind != 1 && kind != 2)) {
    Fail(what + " is not an icon file (no icon header)");
  }
  if (kind == 2) Fail(what + " is a cursor, not an icon");
  const size_t count = Get16(data + 4);
  if (count == 0) Fail(what + " holds no images");
  const size_t directory_end = kHeaderSize + kFileEntrySize * count;
  if (size < directory_end) {
    Fail(what + " is truncated: its directory of " + std::to_string(count) + " images needs " +
         std::to_string(directory_end) + " bytes, the file has " + file_size);
  }

  std::vector<IconImage> images(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = data + kHeaderSize + kFileEntrySize * i;
    IconImage& image = images[i];
    image.width = entry[0];
    image.height = entry[1];
    image.colors = entry[2];
    image.reserved = entry[3];
    const uint16_t planes = Get16(entry + 4);
    const uint16_t bits = Get16(entry + 6);
    const uint64_t image_size = Get32(entry + 8);
    const uint64_t offset = Get32(entry + 12);
    const std::string label =
        what + ": image " + std::to_string(i + 1) + " of " + std::to_string(count);
    if (image_size == 0) Fail(label + " is empty");
    if (offset < directory_end || offset + image_size > size) {
      Fail(label + " lies outside the file (bytes " + std::to_string(offset) + " to " +
           std::to_string(offset + image_size) + ", the file has " + file_size + ")");
    }
    image.data.assign(bytes.begin() + static_cast<ptrdiff_t>(offset),
                      bytes.begin() + static_cast<ptrdiff_t>(offset + image_size));
    // Windows picks an image by the directory, not by the image itself: a zero count there
    // (some icon editors write them) is filled in from the image.
    const uint16_t image_bits = ImageBits(image.data, label);
    image.planes = planes != 0 ? planes : 1;
    image.bits = bits != 0 ? bits : image_bits;
  }
  return images;
}

std::vector<IconImage> ReadIconFile(const std::string& path) {
  InputFile file(path, "icon");
  const std::string what = "icon " + path;
  if (file.size() > kMostIconBytes) {
    Fail(what + " is " + std::to_string(file.size()) + " bytes; an icon file is at most " +
         std::to_string(kMostIconBytes >> 20) + " MiB");
  }
  return ParseIconFile(file.ReadAll(kMostIconBytes), what);
}

std::vector<uint8_t> GroupIconData(const std::vector<IconImage>& images, uint16_t first_id) {
  if (images.empty() || images.size() > 0xFFFFu - first_id + 1u) {
    Fail("an icon group holds 1 to 65535 images with ids up to 65535");
  }
  std::vector<uint8_t> group;
  group.reserve(kHeaderSize + kGroupEntrySize * images.size());
  Put16(group, 0);
  Put16(group, 1);  // icons, not cursors
  Put16(group, static_cast<uint32_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    group.push_back(image.width);
    group.push_back(image.height);
    group.push_back(image.colors);
    group.push_back(0);  // reserved, whatever the file had there
    Put16(group, image.planes);
    Put16(group, image.bits);
    const size_t image_size = image.data.size();
    Put32(group, static_cast<uint32_t>(image_size));
    Put16(group, static_cast<uint32_t>(first_id + i));
  }
  return group;
}

}  // namespace pack
