#include "signing.h"

#include <vector>

#include "file_io.h"
#include "pack_error.h"
#include "process.h"

namespace pack {
namespace {

constexpr uint64_t kDosFirst = 315532800;  // 1980-01-01 00:00:00 UTC

std::vector<std::string> Lines(const std::string& output) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    size_t first = line.find_first_not_of(" \t\r");
    size_t last = line.find_last_not_of(" \t\r");
    if (first != std::string::npos) lines.push_back(line.substr(first, last - first + 1));
    start = end + 1;
  }
  return lines;
}

bool Contains(std::string text, const char* word) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text.find(word) != std::string::npos;
}

bool IsLibraryError(const std::string& line) {
  // OpenSSL's error stack: "40E7...:error:..."
  size_t colon = line.find(":error:");
  if (colon == std::string::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    char c = line[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The line of an OpenSSL-based tool's output that says what went wrong: its own words, not the
// library's error stack nor its closing "Failed".
std::string Complaint(const std::string& output) {
  std::vector<std::string> own;
  for (const std::string& line : Lines(output)) {
    if (!IsLibraryError(line) && line != "Failed" && line != "Succeeded") own.push_back(line);
  }
  for (const std::string& line : own) {
    for (const char* word : {"fail", "unable", "could not", "error", "wrong"}) {
      if (Contains(line, word)) return line;
    }
  }
  return own.empty() ? std::string() : own.back();
}

void Run(const std::vector<std::string>& command, const std::string& what,
         const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  ProcessResult done = RunProcess(command, environment);
  if (!done.started) Fail(what + ": cannot run " + command[0] + ": " + done.start_error);
  if (done.exit_code != 0) {
    std::string message = Complaint(done.output);
    if (message.empty()) message = "exit code " + std::to_string(done.exit_code);
    Fail(what + " failed: " + message);
  }
}

}  // namespace

void CheckSigningMaterial(const Options& options) {
  if (!OnPath("osslsigncode") || !OnPath("openssl")) {
    Fail("signing needs osslsigncode and openssl (Debian packages osslsigncode, openssl)");
  }
  { InputFile certificate(*options.sign_cert, "certificate"); }
  { InputFile key(*options.sign_key, "signing key"); }
  std::string passphrase;
  if (options.sign_pass_file) {
    InputFile file(*options.sign_pass_file, "passphrase file");
    std::vector<uint8_t> bytes = file.ReadAll(1 << 16);
    passphrase.assign(bytes.begin(), bytes.end());
    if (!passphrase.empty() && passphrase.back() == '\n') passphrase.pop_back();
    if (!passphrase.empty() && passphrase.back() == '\r') passphrase.pop_back();
    // openssl would take the first line and osslsigncode the whole file.
    if (passphrase.find_first_of("\r\n") != std::string::npos) {
      Fail("passphrase file " + *options.sign_pass_file + " holds more than one line");
    }
  }
  Run({"openssl", "x509", "-in", *options.sign_cert, "-noout"},
      "reading the certificate " + *options.sign_cert);
  ProcessResult key = RunProcess({"openssl", "pkey", "-in", *options.sign_key, "-noout", "-passin",
                                  "env:TAMREL_PACK_PASSPHRASE"},
                                 {{"TAMREL_PACK_PASSPHRASE", passphrase}});
  if (!key.started || key.exit_code != 0) {
    if (options.sign_pass_file) {
      Fail("cannot read the signing key " + *options.sign_key +
           ": not a private key, or not the passphrase in " + *options.sign_pass_file);
    }
    Fail("cannot read the signing key " + *options.sign_key +
         ": not a private key, or encrypted (give its passphrase with --sign-pass-file)");
  }
}

void Sign(const std::string& unsigned_path, const std::string& signed_path,
          const Options& options, std::optional<uint64_t> epoch) {
  std::vector<std::string> command = {"osslsigncode", "sign", "-certs", *options.sign_cert,
                                      "-key", *options.sign_key, "-h", "sha256"};
  if (options.sign_pass_file) {
    command.insert(command.end(), {"-readpass", *options.sign_pass_file});
  }
  if (options.timestamp_url) {
    command.insert(command.end(), {"-ts", *options.timestamp_url});
  } else {
    // Without a countersignature the signing time is only the signer's word, which Windows does
    // not use; a fixed one keeps the signed installer reproducible.
    command.insert(command.end(), {"-time", std::to_string(epoch ? *epoch : kDosFirst)});
  }
  command.insert(command.end(), {"-in", unsigned_path, "-out", signed_path});
  try {
    Run(command, "signing");
  } catch (const PackError& error) {
    RemoveFile(signed_path);
    if (std::string(error.what()).find("consistency of a private key") != std::string::npos) {
      Fail("signing failed: the key " + *options.sign_key + " belongs to no certificate in " +
           *options.sign_cert);
    }
    throw;
  }
}

}  // namespace pack
