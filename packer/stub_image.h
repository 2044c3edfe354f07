// The stub, linked once with its own resources, as bytes compiled into the packer.
#pragma once

#include <cstddef>

namespace pack {

extern const unsigned char kStubImage[];
extern const size_t kStubImageSize;

}  // namespace pack
