// A product's .ico file, as the images of an icon group.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_io.h"

namespace pack {

struct IconImage {
  uint8_t width = 0;   // 0 means 256, as in the file's directory
  uint8_t height = 0;
  uint8_t colors = 0;
  uint8_t reserved = 0;
  uint16_t planes = 0;
  uint16_t bits = 0;
  std::vector<uint8_t> data;  // a PNG image or a DIB, as the file holds it
};

// The images of an .ico file's bytes, checked: a header that says icon (not cursor), at least
// one image, every image inside the file, non-empty, sharing no byte with the directory or
// another image, and a PNG or a bitmap of at most 256x256 whose size is its entry's (a bitmap's
// height counts colour and mask: twice the entry's). A zero plane or bit count in the directory
// is filled in from the image (Windows picks images by the directory). `what` names the file in
// messages ("icon product.ico"). Throws PackError.
std::vector<IconImage> ParseIconFile(const std::vector<uint8_t>& bytes, const std::string& what);

// The same checks on `file`, read from its start (an icon is small: a larger file is refused), reading the
// directory and then each image into its own buffer: at most the file's size is held.
std::vector<IconImage> ReadIconFile(InputFile& file);

// The RT_GROUP_ICON data for `images`, whose RT_ICON ids are first_id, first_id + 1, ...
std::vector<uint8_t> GroupIconData(const std::vector<IconImage>& images, uint16_t first_id);

}  // namespace pack
