// The subcommands that read an installer (inspect, verify, extract), and the line the packer
// prints about the installer it wrote.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "file_io.h"
#include "installer_reader.h"
#include "options.h"

namespace pack {

// The stubs known to be ours: the one this release carries, and those of earlier releases.
std::vector<StubRelease> KnownStubs();

// Runs options.command; returns the exit code (0, 1 or 2).
int RunReader(const Options& options);

// "OUT.exe: 1,234 bytes, sha256 ..., signed by CN=..." or "..., unsigned", from the written file.
std::string PackedSummary(const std::string& path);
// The same of a file still being written, its `size` bytes shown in order by `show_all`.
using ShowAll = std::function<void(const OutputFile::Seer&)>;
std::string PackedSummary(const std::string& path, uint64_t size, const ShowAll& show_all);

}  // namespace pack
