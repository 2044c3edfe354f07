// What the host tests and fuzz targets of the packer's parts share: the stub's own version block,
// as windres writes it from src/resources/stub.rc at host build time, plain and branded.
#pragma once

#include <stdint.h>

#include <vector>

// The RT_VERSION data of a .res file the host build compiles; empty when it cannot be read.
std::vector<uint8_t> VersionBlockOf(const char* res_path);
inline std::vector<uint8_t> StubVersionBlock() { return VersionBlockOf(STUB_RES_PATH); }
