#include "icon_file.h"

#include <algorithm>
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
constexpr int64_t kMostPixels = 256;      // an icon image's side; the directory writes 256 as 0
constexpr size_t kSkipChunk = 64 << 10;   // bytes of the file between images, read and dropped

size_t DirectoryEnd(size_t count) { return kHeaderSize + kFileEntrySize * count; }

bool IsPng(const std::vector<uint8_t>& image) {
  return image.size() >= sizeof(kPngSignature) &&
         std::memcmp(image.data(), kPngSignature, sizeof(kPngSignature)) == 0;
}

uint32_t Get32BigEndian(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

std::string Pixels(int64_t width, int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// The bits per pixel an image says it has: the PNG header's bit depth times its channels, or the
// DIB header's bit count. Refuses an image whose size is not its directory entry's: Windows
// picks an image by the directory, and would scale one that is not what it says.
uint16_t CheckedImageBits(const IconImage& entry, const std::string& label) {
  const std::vector<uint8_t>& image = entry.data;
  const int64_t width = entry.width != 0 ? entry.width : 256;
  const int64_t height = entry.height != 0 ? entry.height : 256;
  const std::string listed = label + " is " + Pixels(width, height) + " in the directory but ";
  if (IsPng(image)) {
    if (image.size() < 26 || std::memcmp(&image[12], "IHDR", 4) != 0) {
      Fail(label + " is a PNG image without its header");
    }
    const int64_t png_width = Get32BigEndian(&image[16]);
    const int64_t png_height = Get32BigEndian(&image[20]);
    if (png_width > kMostPixels || png_height > kMostPixels) {
      Fail(label + " is a " + Pixels(png_width, png_height) +
           " PNG image; an icon image is at most 256x256");
    }
    if (png_width != width || png_height != height) {
      Fail(listed + Pixels(png_width, png_height) + " in its PNG header");
    }
    const uint8_t depth = image[24];
    const uint8_t colour_type = image[25];
    // Grey, RGB, palette, grey with alpha, RGBA; any other type counts one channel.
    const uint8_t channels = colour_type == 2 ? 3 : colour_type == 4 ? 2 : colour_type == 6 ? 4 : 1;
    return static_cast<uint16_t>(depth * channels);
  }
  if (image.size() >= kBitmapHeaderSize && Get32(image.data()) >= kBitmapHeaderSize) {
    // The DIB's height covers the colour rows and the mask rows below them: twice the icon's.
    const int64_t dib_width = static_cast<int32_t>(Get32(&image[4]));
    const int64_t dib_height = static_cast<int32_t>(Get32(&image[8]));
    if (dib_width > kMostPixels || dib_height > 2 * kMostPixels) {
      Fail(label + " is a bitmap " + std::to_string(dib_width) + " wide and " +
           std::to_string(dib_height) + " high (colour and mask); an icon image is at most " +
           "256x256");
    }
    if (dib_width != width || dib_height != 2 * height) {
      Fail(listed + "its bitmap header says " + std::to_string(dib_width) + " wide and " +
           std::to_string(dib_height) + " high (twice the height: colour and mask)");
    }
    return Get16(&image[14]);
  }
  Fail(label + " is neither a PNG image nor a bitmap");
}

// Where an entry's image lies in the file.
struct Extent {
  uint64_t offset = 0;
  uint64_t size = 0;
  size_t index = 0;
};

std::string Label(const std::string& what, size_t index, size_t count) {
  return what + ": image " + std::to_string(index + 1) + " of " + std::to_string(count);
}

std::string Bytes(uint64_t from, uint64_t to) {
  return "bytes " + std::to_string(from) + " to " + std::to_string(to);
}

// The directory of a file of `file_size` bytes whose first bytes are `head` (the header and the
// entries, or as much of them as the file has), checked, with the images still empty; `extents`
// gets where each image lies, sorted by offset. No two images share a byte, nor does an image
// share one with the directory: the images together are at most the file's size.
std::vector<IconImage> ReadDirectory(const uint8_t* head, size_t head_size, uint64_t file_size,
                                     const std::string& what, std::vector<Extent>& extents) {
  const std::string size_text = std::to_string(file_size);
  if (head_size < kHeaderSize) {
    Fail(what + " is truncated: " + size_text + " bytes, shorter than an icon header");
  }
  const uint16_t kind = Get16(head + 2);
  if (Get16(head) != 0 || (kind != 1 && kind != 2)) {
    Fail(what + " is not an icon file (no icon header)");
  }
  if (kind == 2) Fail(what + " is a cursor, not an icon");
  const size_t count = Get16(head + 4);
  if (count == 0) Fail(what + " holds no images");
  const size_t directory_end = DirectoryEnd(count);
  if (head_size < directory_end) {
    Fail(what + " is truncated: its directory of " + std::to_string(count) + " images needs " +
         std::to_string(directory_end) + " bytes, the file has " + size_text);
  }

  std::vector<IconImage> images(count);
  extents.assign(count, Extent());
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = head + kHeaderSize + kFileEntrySize * i;
    IconImage& image = images[i];
    image.width = entry[0];
    image.height = entry[1];
    image.colors = entry[2];
    image.reserved = entry[3];
    image.planes = Get16(entry + 4);
    image.bits = Get16(entry + 6);
    Extent& extent = extents[i];
    extent.size = Get32(entry + 8);
    extent.offset = Get32(entry + 12);
    extent.index = i;
    const std::string label = Label(what, i, count);
    if (extent.size == 0) Fail(label + " is empty");
    const uint64_t end = extent.offset + extent.size;
    if (extent.offset + extent.size > file_size) {
      Fail(label + " lies outside the file (" + Bytes(extent.offset, end) + ", the file has " +
           size_text + ")");
    }
    if (extent.offset < directory_end) {
      Fail(label + " overlaps the icon directory (" + Bytes(extent.offset, end) +
           ", the directory is " + Bytes(0, directory_end) + ")");
    }
  }
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.index < b.index;
  });
  for (size_t i = 1; i < count; ++i) {
    const Extent& before = extents[i - 1];
    const Extent& after = extents[i];
    if (before.offset + before.size > after.offset) {
      const Extent& first = before.index < after.index ? before : after;
      const Extent& second = before.index < after.index ? after : before;
      Fail(Label(what, second.index, count) + " (" +
           Bytes(second.offset, second.offset + second.size) + ") overlaps image " +
           std::to_string(first.index + 1) + " (" +
           Bytes(first.offset, first.offset + first.size) + ")");
    }
  }
  return images;
}

// Once every image holds its bytes: each checked, in the directory's order, and a zero plane or
// bit count (some icon editors write them) filled in from the image.
void CheckImages(std::vector<IconImage>& images, const std::string& what) {
  for (size_t i = 0; i < images.size(); ++i) {
    IconImage& image = images[i];
    const uint16_t image_bits = CheckedImageBits(image, Label(what, i, images.size()));
    if (image.planes == 0) image.planes = 1;
    if (image.bits == 0) image.bits = image_bits;
  }
}

}  // namespace

std::vector<IconImage> ParseIconFile(const std::vector<uint8_t>& bytes, const std::string& what) {
  std::vector<Extent> extents;
  std::vector<IconImage> images =
      ReadDirectory(bytes.data(), bytes.size(), bytes.size(), what, extents);
  for (const Extent& extent : extents) {
    const auto from = bytes.begin() + static_cast<ptrdiff_t>(extent.offset);
    images[extent.index].data.assign(from, from + static_cast<ptrdiff_t>(extent.size));
  }
  CheckImages(images, what);
  return images;
}

std::vector<IconImage> ReadIconFile(InputFile& file) {
  const std::string what = file.Named();
  const uint64_t size = file.size();
  if (size > kMostIconBytes) {
    Fail(what + " is " + std::to_string(size) + " bytes; an icon file is at most " +
         std::to_string(kMostIconBytes >> 20) + " MiB");
  }
  // The directory first, then the images in the order they lie in the file, each read into its
  // own buffer and nothing else kept: memory stays the file's size whatever its directory says.
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, kHeaderSize)));
  file.ReadExactly(head.data(), head.size());
  if (head.size() == kHeaderSize) {
    head.resize(static_cast<size_t>(std::min<uint64_t>(size, DirectoryEnd(Get16(&head[4])))));
    file.ReadExactly(head.data() + kHeaderSize, head.size() - kHeaderSize);
  }
  std::vector<Extent> extents;
  std::vector<IconImage> images = ReadDirectory(head.data(), head.size(), size, what, extents);
  uint64_t at = head.size();
  std::vector<uint8_t> skipped;
  auto skip_to = [&](uint64_t offset) {
    while (at < offset) {
      skipped.resize(static_cast<size_t>(std::min<uint64_t>(offset - at, kSkipChunk)));
      file.ReadExactly(skipped.data(), skipped.size());
      at += skipped.size();
    }
  };
  for (const Extent& extent : extents) {
    skip_to(extent.offset);
    std::vector<uint8_t>& data = images[extent.index].data;
    data.resize(static_cast<size_t>(extent.size));
    file.ReadExactly(data.data(), data.size());
    at += extent.size;
  }
  skip_to(size);
  file.ExpectEnd();
  CheckImages(images, what);
  return images;
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
