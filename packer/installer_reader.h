// An installer read back from its bytes alone, which nobody vouches for: its image as Windows
// would load it, its resources as Windows' lookup finds them, the payload as the stub's own scan
// takes it, the setup program as the stub would write it, its stub and its signature.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "byte_span.h"
#include "payload_scan.h"
#include "resource_tree.h"
#include "signature_check.h"

namespace pack {

// A release of tamrel-pack, the digest of the stub it carries (see StubDigest) and that stub's
// image: an installer whose digest is a release's is that release's only when it is what the
// packer writes from the image (see StubFaults).
struct StubRelease {
  std::string version;
  std::array<uint8_t, Sha256::kSize> digest{};
  ByteSpan image;
};

struct ResourceItem {
  ResourceKey type;
  ResourceKey name;
  uint16_t language = 0;
  ByteSpan data;
};

// The setup program as the installer writes it: a BL cabinet expanded, a B7 patch as it is.
struct SetupProgram {
  size_t resource = 0;   // in InstallerReport::resources
  bool patch = false;
  bool expanded = false;   // from a cabinet
  std::string cabinet_fault;  // why the cabinet cannot be expanded, or empty
  std::string program_fault;  // why it is no program Windows starts (ProgramHeaders), or empty
  uint64_t size = 0;
  std::array<uint8_t, Sha256::kSize> sha256{};
};

struct InstallerReport {
  std::string unreadable;  // why the bytes are no installer at all (or damaged), else empty
  uint64_t file_size = 0;
  uint64_t image_size = 0;
  bool checksum_ok = false;
  // What Windows' loader would refuse, and names its lookup would never find.
  std::vector<std::string> image_faults;
  std::vector<std::string> lookup_faults;
  std::vector<ResourceItem> resources;  // in directory order
  PayloadVerdict payload;
  long archive = -1;  // in resources, or -1
  std::optional<SetupProgram> setup;
  bool has_version = false;
  std::array<uint16_t, 4> file_version{};
  std::array<uint16_t, 4> product_version{};
  std::vector<std::pair<std::string, std::string>> version_strings;
  std::vector<std::pair<unsigned, unsigned>> icon_sizes;  // of icon group 107
  std::array<uint8_t, Sha256::kSize> stub_digest{};
  std::optional<std::string> stub_release;  // the release whose stub this is: genuine
  std::vector<std::string> stub_faults;  // how it differs from the release its digest names
  std::optional<SignatureInfo> signature;  // its checks made, its chains judged by the caller
  std::string signature_fault;  // a certificate table that holds no readable signature
};

// Reads the installer. `releases` are the stubs known to be ours.
InstallerReport ReadInstaller(ByteSpan file, const std::vector<StubRelease>& releases);

// The digest that identifies a stub: SHA-256 over the entry point and every section but the
// resources and the base relocations (name, address, size, raw bytes), which are what packing
// changes. False when `image` is no PE32+ image.
bool StubDigest(ByteSpan image, std::array<uint8_t, Sha256::kSize>* digest);

// What verify reports, one line a failing check; empty when everything holds.
std::vector<std::string> VerifyFaults(const InstallerReport& report);

// The report as one JSON object.
std::string ReportJson(const InstallerReport& report);

}  // namespace pack
