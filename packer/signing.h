// Authenticode signing of the finished installer: through osslsigncode with a key file, or by
// the release engineer's own signing command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace pack {

// Catches an unreadable certificate or key, and an encrypted key without its passphrase, before
// anything is written: osslsigncode would ask for a passphrase on the terminal, again and again.
// For --sign-command, that its program is there.
void CheckSigningMaterial(const Options& options);

// Signs `unsigned_path` into `signed_path`. Without a time-stamping server the signing time is
// `epoch` (or 1980-01-01 when unset), so that a signed installer is reproducible too.
void Sign(const std::string& unsigned_path, const std::string& signed_path,
          const Options& options, std::optional<uint64_t> epoch);

// Runs `command` ({file} replaced by `path` in every word) on the finished, closed installer and
// waits. It must sign the file in place: afterwards the file must end in an Authenticode
// certificate table, and every byte before it but the checksum and the table's directory entry
// must be as the packer wrote it.
void SignWithCommand(const std::string& path, const std::vector<std::string>& command);

}  // namespace pack
