#include "signing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include <zlib.h>

#include "authenticode.h"
#include "bytes.h"
#include "cabinet_writer.h"
#include "file_io.h"
#include "pack_error.h"
#include "pe_image.h"
#include "process.h"
#include "text.h"

namespace pack {
namespace {

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

// CRC-32 of the file's first `length` bytes, read in chunks, with the two fields a signing tool
// rewrites zeroed: the checksum and the certificate table's directory entry, which is copied to
// `entry` first. Both lie in the optional header; the first file read finds it (`*optional` 0),
// the second is held to the same place. A checksum, not a cryptographic digest: it catches a tool
// that rewrote the image, and whoever controls the signing command controls the file anyway.
uint32_t ImageCrc(InputFile& file, uint64_t length, uint64_t* optional, uint8_t entry[8]) {
  constexpr size_t kChunk = 1 << 20;
  std::vector<uint8_t> buffer(kChunk);
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t at = 0; at < length;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kChunk, length - at));
    file.ReadExactly(buffer.data(), count);
    if (at == 0) {
      // The PE signature's offset at 0x3C, then 4 bytes of signature and 20 of file header.
      if (*optional == 0 && count >= 0x40) *optional = Get32(&buffer[0x3C]) + 24;
      const uint64_t security = *optional + kSecurityEntryField;
      if (*optional == 0 || security + 8 > count) Fail(file.Named() + " has no PE32+ header");
      std::memcpy(entry, &buffer[security], 8);
      std::memset(&buffer[*optional + kCheckSumField], 0, 4);
      std::memset(&buffer[security], 0, 8);
    }
    crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
    at += count;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace

void SignWithCommand(const std::string& path, const std::vector<std::string>& command) {
  uint64_t optional = 0, written_size;
  uint8_t entry[8];
  uint32_t written_crc;
  {
    InputFile written(path, "installer");
    written_size = written.size();
    written_crc = ImageCrc(written, written_size, &optional, entry);
  }

  const std::string file = NativePath(path);
  std::vector<std::string> argv;
  for (std::string word : command) {
    for (size_t at = 0; (at = word.find("{file}", at)) != std::string::npos; at += file.size()) {
      word.replace(at, 6, file);
    }
    argv.push_back(word);
  }
  ProcessResult done = RunProcess(argv, {}, Capture::kErrorsOnly);
  if (!done.started) Fail("--sign-command: cannot run " + argv[0] + ": " + done.start_error);
  if (done.exit_code != 0) {
    const unsigned code = static_cast<uint32_t>(done.exit_code);
    char number[16];
    std::snprintf(number, sizeof(number), code > 255 ? "0x%08X" : "%u", code);
    // What a terminal would show last: a carriage return starts the line over.
    for (char& c : done.output) c = c == '\r' ? '\n' : c;
    std::vector<std::string> lines = Lines(done.output);
    Fail("--sign-command failed with exit code " + std::string(number) +
         (lines.empty() ? " and wrote nothing to standard error" : ": " + lines.back()));
  }

  // The image as written, then the certificate table at the next 8-byte boundary (zeros
  // between), ending the file: one WIN_CERTIFICATE of revision 2.0 and type PKCS #7 SignedData
  // whose content is Authenticode's SpcIndirectDataContent (its object identifier near the
  // start).
  const std::string changed = "--sign-command changed the installer beyond adding a signature";
  InputFile signed_file(path, "signed installer");
  if (signed_file.size() < written_size) Fail(changed);
  const bool same = ImageCrc(signed_file, written_size, &optional, entry) == written_crc;
  const uint64_t table = Get32(entry), table_size = Get32(entry + 4);
  if (same && table == 0 && table_size == 0 && signed_file.size() == written_size) {
    Fail("--sign-command exited with 0 but signed nothing: the installer carries no "
         "Authenticode signature");
  }
  if (!same || table != ((written_size + 7) & ~uint64_t{7}) || table_size < 8 ||
      table + table_size != signed_file.size()) {
    Fail(changed);
  }
  const uint64_t padding = table - written_size;
  std::vector<uint8_t> tail(static_cast<size_t>(padding + std::min<uint64_t>(table_size, 4096)));
  signed_file.ReadExactly(tail.data(), tail.size());
  const uint8_t* const begin = tail.data();
  const uint8_t* const certificate = begin + padding;
  if (std::any_of(begin, certificate, [](uint8_t b) { return b != 0; })) Fail(changed);
  static const uint8_t kIndirectData[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04,
                                          0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
  const uint8_t* const end = begin + tail.size();
  if (Get32(certificate) > table_size || Get32(certificate + 4) != 0x00020200 ||
      std::search(certificate + 8, end, std::begin(kIndirectData), std::end(kIndirectData)) ==
          end) {
    Fail("--sign-command left a certificate table that holds no Authenticode signature");
  }
}

std::string ReadPassphrase(const Options& options) {
  std::string passphrase;
  if (!options.sign_pass_file) return passphrase;
  InputFile file(*options.sign_pass_file, "passphrase file");
  std::vector<uint8_t> bytes = file.ReadAll(1 << 16);
  passphrase.assign(bytes.begin(), bytes.end());
  if (!passphrase.empty() && passphrase.back() == '\n') passphrase.pop_back();
  if (!passphrase.empty() && passphrase.back() == '\r') passphrase.pop_back();
  // openssl would take the first line and osslsigncode the whole file.
  if (passphrase.find_first_of("\r\n") != std::string::npos) {
    Fail("passphrase file " + Quoted(*options.sign_pass_file) + " holds more than one line");
  }
  return passphrase;
}

void KeyUnreadable(const Options& options) {
  if (options.sign_pass_file) {
    Fail("cannot read the signing key " + Quoted(*options.sign_key) +
         ": not a private key, or not the passphrase in " + Quoted(*options.sign_pass_file));
  }
  Fail("cannot read the signing key " + Quoted(*options.sign_key) +
       ": not a private key, or encrypted (give its passphrase with --sign-pass-file)");
}

void KeyOfNoCertificate(const Options& options) {
  Fail("signing failed: the key " + Quoted(*options.sign_key) + " belongs to no certificate in " +
       Quoted(*options.sign_cert));
}

void CheckSigningMaterial(const Options& options) {
  if (options.sign_command) {
    const std::string& program = options.sign_command_words[0];
    if (!OnPath(program)) Fail("--sign-command: cannot find " + program);
    return;
  }
  if (!OnPath("osslsigncode") || !OnPath("openssl")) {
    Fail("signing needs osslsigncode and openssl (Debian packages osslsigncode, openssl)");
  }
  { InputFile certificate(*options.sign_cert, "certificate"); }
  { InputFile key(*options.sign_key, "signing key"); }
  const std::string passphrase = ReadPassphrase(options);
  Run({"openssl", "x509", "-in", *options.sign_cert, "-noout"},
      "reading the certificate " + Quoted(*options.sign_cert));
  ProcessResult key = RunProcess({"openssl", "pkey", "-in", *options.sign_key, "-noout", "-passin",
                                  "env:TAMREL_PACK_PASSPHRASE"},
                                 {{"TAMREL_PACK_PASSPHRASE", passphrase}});
  if (!key.started || key.exit_code != 0) KeyUnreadable(options);
}

namespace {
// The ones' complement sum of 16-bit little-endian words the PE checksum is made of, folded.
uint64_t AddWords(uint64_t sum, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) sum += Get16(&bytes[i]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}
}  // namespace

void SignInPlace(OutputFile& installer, const KeyMaterial& key, uint64_t signing_time) {
  uint8_t head[0x40];
  installer.ReadAt(0, head, sizeof(head));
  const uint64_t optional = Get32(head + 0x3C) + 24;
  AuthenticodeLayout layout;
  layout.checksum_field = optional + kCheckSumField;
  layout.security_entry = optional + kSecurityEntryField;
  const uint64_t length = installer.offset();
  AuthenticodeDigest digest(Hash::kSha256, layout);
  installer.See(0, length, [&digest](const uint8_t* data, size_t count) {
    digest.Update(data, count);
  });
  const std::vector<uint8_t> signature = SignedData(key, digest.Finish(), signing_time);

  // One WIN_CERTIFICATE (revision 2.0, PKCS #7 SignedData) at the image's end, which is on a
  // file-alignment boundary, padded to eight bytes as the format wants.
  const size_t padding = (8 - signature.size() % 8) % 8;
  const uint32_t table_size = static_cast<uint32_t>(8 + signature.size() + padding);
  std::vector<uint8_t> table;
  Put32(table, table_size);
  Put16(table, 0x0200);
  Put16(table, 0x0002);
  table.insert(table.end(), signature.begin(), signature.end());
  table.resize(table_size, 0);
  std::vector<uint8_t> entry;
  Put32(entry, static_cast<uint32_t>(length));
  Put32(entry, table_size);

  // The checksum is a sum of words plus the length: what was summed before is the old value
  // less the old length, and the new words (the directory entry was zero) are added to it.
  uint8_t field[4];
  installer.ReadAt(layout.checksum_field, field, sizeof(field));
  uint64_t sum = Get32(field) - length;
  sum = AddWords(AddWords(sum, table), entry);
  Set32(field, static_cast<uint32_t>(sum + length + table_size));
  installer.Write(table.data(), table.size());
  installer.WriteAt(layout.security_entry, entry.data(), entry.size());
  installer.WriteAt(layout.checksum_field, field, sizeof(field));
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
    command.insert(command.end(), {"-time", std::to_string(epoch ? *epoch : kFirstDosSecond)});
  }
  command.insert(command.end(), {"-in", unsigned_path, "-out", signed_path});
  try {
    Run(command, "signing");
  } catch (const PackError& error) {
    // The signing tool's half-written file goes with the OutputFile that named it.
    if (std::string(error.what()).find("consistency of a private key") != std::string::npos) {
      KeyOfNoCertificate(options);
    }
    throw;
  }
}

}  // namespace pack
