// Authenticode signing of the finished installer: through osslsigncode with a key file, or by
// the release engineer's own signing command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_io.h"
#include "key_signing.h"
#include "options.h"

namespace pack {

// Catches an unreadable certificate or key, and an encrypted key without its passphrase, before
// anything is written: osslsigncode would ask for a passphrase on the terminal, again and again.
// For --sign-command, that its program is there.
void CheckSigningMaterial(const Options& options);

// The passphrase of --sign-pass-file (one line; its line break dropped), or empty.
std::string ReadPassphrase(const Options& options);
// The refusals of a key that cannot be read, and of one that signed none of the certificates.
[[noreturn]] void KeyUnreadable(const Options& options);
[[noreturn]] void KeyOfNoCertificate(const Options& options);

// Signs the finished, still open installer with a key this build signs with itself: its
// Authenticode digest read from the file's pages, the certificate table appended, its directory
// entry and the checksum set.
void SignInPlace(OutputFile& installer, const KeyMaterial& key, uint64_t signing_time);

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
