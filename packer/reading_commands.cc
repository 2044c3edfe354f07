#include "reading_commands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "cabinet_reader.h"
#include "file_io.h"
#include "pack_error.h"
#include "pe_image.h"
#include "stub_image.h"
#include "text.h"

#ifndef TAMREL_PACK_VERSION
#define TAMREL_PACK_VERSION "0.0.0"
#endif

namespace pack {
namespace {

// The stubs of earlier releases whose stub differs from this one's, newest first. An entry
// carries that release's whole stub image (embedded as kStubImage is), not its digest alone:
// an installer is a release's only when it is what the packer writes from that image, which a
// digest cannot show. None so far: every release up to this one carried the stub this one
// carries.
const struct {
  const char* version;
  const unsigned char* image;
  size_t size;
} kEarlierStubs[] = {{nullptr, nullptr, 0}};

// The whole installer; a file past what Windows loads is no installer, whatever it holds.
std::vector<uint8_t> ReadWhole(const std::string& path, std::string* too_large) {
  InputFile file(path, "installer");
  if (file.size() > kMaxImageSize) {
    *too_large = "not an installer: " + GroupedDigits(file.size()) +
                 " bytes, more than the 2 GB Windows loads";
    return {};
  }
  return file.ReadAll(kMaxImageSize);
}

std::string Hex(const std::array<uint8_t, Sha256::kSize>& digest) {
  return HexText(digest.data(), digest.size());
}

std::string Table(const InstallerReport& report) {
  std::string out;
  // Labels and values hold the file's own text: shown so that none of it acts on the terminal.
  auto line = [&out](const std::string& label, const std::string& value) {
    const std::string shown = Shown(label);
    out += shown + std::string(shown.size() < 12 ? 12 - shown.size() : 1, ' ') + Shown(value) +
           "\n";
  };
  line("image", GroupedDigits(report.image_size) + " bytes in memory, " + GroupedDigits(report.file_size) +
                    " in the file, checksum " + (report.checksum_ok ? "right" : "WRONG"));
  std::string stub = report.stub_release ? "genuine, tamrel-pack " + *report.stub_release
                                          : "NOT a stub of any tamrel-pack release";
  if (!report.stub_faults.empty()) stub = "NOT genuine: " + report.stub_faults.front();
  line("stub", stub);
  for (size_t i = 1; i < report.stub_faults.size(); ++i) line("", report.stub_faults[i]);
  if (report.archive >= 0) {
    const ResourceItem& item = report.resources[static_cast<size_t>(report.archive)];
    line("archive", item.type.Text() + " " + Quoted(item.name.Text()) + ", " +
                        GroupedDigits(item.data.size()) + " bytes");
  }
  if (report.setup) {
    const ResourceItem& item = report.resources[report.setup->resource];
    std::string text = item.type.Text() + " " + Quoted(item.name.Text()) + ", ";
    if (report.setup->expanded) {
      text += "a cabinet of " + GroupedDigits(item.data.size()) + " bytes expanding to " +
              GroupedDigits(report.setup->size) + ", sha256 " + Hex(report.setup->sha256);
      if (!report.setup->cabinet_fault.empty()) text += " (" + report.setup->cabinet_fault + ")";
    } else {
      text += GroupedDigits(report.setup->size) + " bytes" + (report.setup->patch ? ", a patch" : "");
    }
    if (!report.setup->program_fault.empty()) text += ", which " + report.setup->program_fault;
    line("setup", text);
  }
  line("runs setup", report.payload.exit_code == 0
                         ? "yes"
                         : "no: would exit with " + std::to_string(report.payload.exit_code) +
                               " (extra code " + std::to_string(report.payload.error) + ")");
  for (const auto& [key, value] : report.version_strings) line("  " + key, value);
  std::string icons;
  for (const auto& [width, height] : report.icon_sizes) {
    icons += (icons.empty() ? "" : " ") + std::to_string(width) + "x" + std::to_string(height);
  }
  if (!icons.empty()) line("icon", icons);
  if (report.signature) {
    for (const auto& [label, text] : SignatureLines(*report.signature)) line(label, text);
  } else {
    line("signature", report.signature_fault.empty() ? "none" : report.signature_fault);
  }
  out += "resources:\n";
  for (const ResourceItem& item : report.resources) {
    out += "  " + Shown(item.type.Text() + " " + item.name.Text()) + " " +
           std::to_string(item.language) + " " + GroupedDigits(item.data.size()) + "\n";
  }
  return out;
}

// A resource name as a file name the stub's rules would accept: no \, / or :, nothing a file
// system refuses, no "." or "..", shorter than a path; never a path out of the folder.
std::string SafeName(const std::u16string& name) {
  std::u16string safe;
  for (size_t i = 0; i < name.size() && i < 200; ++i) {
    const char16_t unit = name[i];
    const bool bad = unit < 0x20 || (unit >= 0x7F && unit < 0xA0) ||
                     std::u16string_view(u"\\/:*?\"<>|").find(unit) != std::u16string_view::npos;
    safe.push_back(bad ? u'_' : unit);
  }
  while (!safe.empty() && (safe.back() == u'.' || safe.back() == u' ')) safe.back() = u'_';
  if (safe.empty()) safe.push_back(u'_');
  return Utf16ToUtf8(safe);
}

void WriteFile(const std::string& folder, const std::string& name, ByteSpan bytes,
               const std::function<void(OutputFile&)>& fill = {}) {
  const std::string path = folder + "/" + name;
  OutputFile out(folder, path, OutputKind::kInstaller);
  if (fill) {
    fill(out);
  } else {
    out.Write(bytes.data(), bytes.size());
  }
  out.Commit(path);
  PrintOut(Shown(path) + "\n");
}

int Extract(const InstallerReport& report, const std::string& folder) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path where = fs::u8path(folder);
  if (fs::exists(where, error)) {
    if (!fs::is_directory(where, error) || !fs::is_empty(where, error)) {
      Fail("--to " + Quoted(folder) + " must be an empty folder, or not exist yet");
    }
  } else if (!fs::create_directory(where, error)) {
    Fail("cannot make the folder " + Quoted(folder) + ": " + error.message());
  }
  std::vector<std::string> taken = {"setup.exe"};
  auto unique = [&taken](std::string name) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    for (int n = 2; std::find(taken.begin(), taken.end(), lower) != taken.end(); ++n) {
      name = name + "~" + std::to_string(n);
      lower = lower + "~" + std::to_string(n);
    }
    taken.push_back(lower);
    return name;
  };
  if (report.archive >= 0) {
    const ResourceItem& item = report.resources[static_cast<size_t>(report.archive)];
    WriteFile(folder, unique(SafeName(item.name.name)), item.data);
  }
  if (report.setup) {
    const ResourceItem& item = report.resources[report.setup->resource];
    if (report.setup->expanded) {
      if (!report.setup->cabinet_fault.empty()) {
        Fail("the setup program's cabinet: " + report.setup->cabinet_fault);
      }
      WriteFile(folder, "setup.exe", item.data, [&](OutputFile& out) {
        CabinetContents contents;
        ReadCabinet(item.data, [&](const uint8_t* b, size_t n) { out.Write(b, n); }, &contents);
      });
    } else {
      // A patch is written under its own name, as the installer writes it.
      WriteFile(folder, report.setup->patch ? unique(SafeName(item.name.name)) : "setup.exe",
                item.data);
    }
  }
  for (size_t i = 0; i < report.resources.size(); ++i) {
    const ResourceItem& item = report.resources[i];
    const bool payload = item.type == ResourceKey::Name(u"B7") ||
                         item.type == ResourceKey::Name(u"BL") ||
                         item.type == ResourceKey::Name(u"BN");
    if (!payload || static_cast<long>(i) == report.archive ||
        (report.setup && i == report.setup->resource)) {
      continue;
    }
    WriteFile(folder, unique(SafeName(item.name.is_name ? item.name.name : u"_")), item.data);
  }
  return 0;
}

// The certificates of --ca-file, parsed into `anchors`, which point into what is returned.
std::vector<std::vector<uint8_t>> ReadAnchors(const std::string& path,
                                              std::vector<Certificate>* anchors) {
  InputFile file(path, "--ca-file");
  const std::vector<uint8_t> bytes = file.ReadAll(16 << 20);
  std::string why;
  std::vector<std::vector<uint8_t>> certificates =
      PemCertificates(std::string(bytes.begin(), bytes.end()), &why);
  if (certificates.empty()) Fail("--ca-file " + Quoted(path) + ": " + why);
  for (const std::vector<uint8_t>& der : certificates) {
    Certificate certificate;
    if (!ParseCertificate(ByteSpan(der.data(), der.size()), &certificate, &why)) {
      Fail("--ca-file " + Quoted(path) + ": certificate " + std::to_string(anchors->size() + 1) +
           ": " + why);
    }
    anchors->push_back(certificate);
  }
  return certificates;
}

}  // namespace

std::vector<StubRelease> KnownStubs() {
  std::vector<StubRelease> releases(1);
  releases[0].version = TAMREL_PACK_VERSION;
  releases[0].image = ByteSpan(kStubImage, kStubImageSize);
  for (const auto& earlier : kEarlierStubs) {
    if (earlier.version == nullptr) continue;
    StubRelease release;
    release.version = earlier.version;
    release.image = ByteSpan(earlier.image, earlier.size);
    releases.push_back(release);
  }
  for (StubRelease& release : releases) StubDigest(release.image, &release.digest);
  return releases;
}

int RunReader(const Options& options) {
  std::vector<Certificate> anchors;
  const std::vector<std::vector<uint8_t>> anchor_bytes =
      options.ca_file ? ReadAnchors(*options.ca_file, &anchors) : decltype(anchor_bytes)();
  std::string too_large;
  const std::vector<uint8_t> bytes = ReadWhole(options.installer, &too_large);
  InstallerReport report;
  if (too_large.empty()) {
    report = ReadInstaller(ByteSpan(bytes.data(), bytes.size()), KnownStubs());
  } else {
    report.unreadable = too_large;
  }
  if (report.signature && options.ca_file) {
    JudgeChains(anchors, static_cast<int64_t>(std::time(nullptr)), &*report.signature);
  }
  if (options.command == "inspect") {
    if (options.json) {
      PrintOut(ReportJson(report) + "\n");
    } else if (report.unreadable.empty()) {
      PrintOut(Table(report));
    }
    if (!report.unreadable.empty()) {
      std::fprintf(stderr, "tamrel-pack: %s\n",
                   Shown(options.installer + ": " + report.unreadable).c_str());
      return 1;
    }
    return 0;
  }
  if (options.command == "verify") {
    std::vector<std::string> faults = VerifyFaults(report);
    const bool is_installer = report.unreadable.empty();
    if (is_installer && options.require_signature && !report.signature &&
        report.signature_fault.empty()) {
      faults.push_back("unsigned, and --require-signature asks for a signature");
    }
    std::string text;
    // Not a failure: the signature holds whoever made it, which only --ca-file can tell.
    if (is_installer && report.signature && !options.ca_file) {
      text += Shown(options.installer) + ": the chain of trust is not judged: give --ca-file\n";
    }
    // One line a fault, whatever text of the file a fault quotes.
    for (const std::string& fault : faults) text += Shown(options.installer + ": " + fault) + "\n";
    PrintOut(faults.empty() ? text + Shown(options.installer) + ": everything holds\n" : text);
    return faults.empty() ? 0 : 1;
  }
  if (!report.unreadable.empty()) Fail(options.installer + ": " + report.unreadable);
  return Extract(report, options.to);
}

std::string PackedSummary(const std::string& path, uint64_t size, const ShowAll& show_all) {
  // Read once, in order: the digest of the whole file, and the certificate table kept aside.
  std::vector<uint8_t> table;
  Sha256 digest;
  uint64_t at = 0, table_at = 0, table_size = 0;
  show_all([&](const uint8_t* bytes, size_t count) {
    digest.Update(bytes, count);
    ByteSpan chunk(bytes, count);
    uint32_t pe = 0, entry_at = 0, entry_size = 0;
    if (at == 0 && chunk.Read32(0x3C, &pe) &&
        chunk.Read32(pe + 24ull + kSecurityEntryField, &entry_at) &&
        chunk.Read32(pe + 28ull + kSecurityEntryField, &entry_size) && entry_size <= (64u << 20)) {
      table_at = entry_at;
      table_size = entry_size;
    }
    const uint64_t from = std::max(at, table_at), to = std::min(at + count, table_at + table_size);
    if (from < to) table.insert(table.end(), bytes + (from - at), bytes + (to - at));
    at += count;
  });
  const auto sha = digest.Finish();
  std::string who = "unsigned";
  if (table_size != 0) {
    std::string why;
    const auto signature = ReadSignature(ByteSpan(table.data(), table.size()), &why);
    if (!signature) {
      who = "signed (" + why + ")";
    } else {
      who = signature->signer ? "signed by " + signature->subject
                              : "signed, by no certificate it carries";
    }
  }
  return Shown(path + ": " + GroupedDigits(size) + " bytes, sha256 " + Hex(sha) + ", " + who) +
         "\n";
}

std::string PackedSummary(const std::string& path) {
  InputFile file(path, "installer");
  return PackedSummary(path, file.size(), [&file](const OutputFile::Seer& see) {
    std::vector<uint8_t> buffer(1 << 20);
    for (uint64_t at = 0; at < file.size();) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer.size(), file.size() - at));
      file.ReadExactly(buffer.data(), count);
      see(buffer.data(), count);
      at += count;
    }
    file.ExpectEnd();
  });
}

}  // namespace pack
