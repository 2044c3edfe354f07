// Authenticode signing of the finished installer through osslsigncode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "options.h"

namespace pack {

// Catches an unreadable certificate or key, and an encrypted key without its passphrase, before
// anything is written: osslsigncode would ask for a passphrase on the terminal, again and again.
void CheckSigningMaterial(const Options& options);

// Signs `unsigned_path` into `signed_path`. Without a time-stamping server the signing time is
// `epoch` (or 1980-01-01 when unset), so that a signed installer is reproducible too.
void Sign(const std::string& unsigned_path, const std::string& signed_path,
          const Options& options, std::optional<uint64_t> epoch);

}  // namespace pack
