// Whether an installer's stub is a release's: every byte that decides what runs, held against
// what the packer itself writes from that release's stub.
#pragma once

#include <string>
#include <vector>

#include "byte_span.h"
#include "installer_reader.h"

namespace pack {

// How `installer` differs from what the packer writes from `stub` for a resource section of the
// size the installer's headers give, one line a difference (the first of each part: headers,
// each section, the bytes between and after them, the manifest); empty when it is that, or is
// the stub itself. The checksum and the certificate table's entry and bytes are signing's, and
// of the resource section only the manifest decides what runs. `installer_resources` and
// `stub_resources` are each file's resources as ReadInstaller finds them.
std::vector<std::string> StubFaults(ByteSpan installer, ByteSpan stub,
                                    const std::vector<ResourceItem>& installer_resources,
                                    const std::vector<ResourceItem>& stub_resources);

}  // namespace pack
