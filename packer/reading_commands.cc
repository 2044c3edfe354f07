#include "reading_commands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
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

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// Windows' device names, which it opens as the device whatever folder or extension goes with
// them, and whatever spaces end them: CON, CON.TXT and "CON .TXT" alike.
bool IsDeviceName(std::u16string_view base) {
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  const std::u16string upper = UpperCaseUnits(base);
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (upper == device) return true;
  }
  return upper.size() == 4 &&
         (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0) &&
         std::u16string_view(u"0123456789\u00B9\u00B2\u00B3").find(upper[3]) !=
             std::u16string_view::npos;
}

// A name of the 8.3 form with a '~' in it may be the short name Windows gave a file written
// before it, and would then open that file.
bool LooksShort(std::u16string_view name) {
  const size_t dot = name.find(u'.');
  if (name.find(u'~') == std::u16string_view::npos || name.size() > 12) return false;
  if (dot == std::u16string_view::npos) return name.size() <= 8;
  return dot <= 8 && name.size() - dot - 1 <= 3 &&
         name.find(u'.', dot + 1) == std::u16string_view::npos;
}

// The longest name kept: within Windows' 255 UTF-16 units and Linux's 255 UTF-8 bytes, with room
// for the " (65536)" that tells apart names Windows takes for one.
constexpr size_t kNameUnits = 200, kNameBytes = 240;

// A resource name as a file name both systems accept, the same on both: no \, / or :, nothing a
// file system refuses or a terminal acts on, no "." or "..", no device, nothing an 8.3 name could
// be; never a path out of the folder.
std::u16string SafeName(const std::u16string& name) {
  std::u16string safe;
  size_t bytes = 0;
  for (size_t i = 0; i < name.size();) {
    const bool pair = i + 1 < name.size() && name[i] >= 0xD800 && name[i] <= 0xDBFF &&
                      name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
    const char16_t unit = name[i];
    const size_t units = pair ? 2 : 1;
    const size_t length = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    if (safe.size() + units > kNameUnits || bytes + length > kNameBytes) break;
    const bool bad = (!pair && IsSurrogate(unit)) || unit < 0x20 || (unit >= 0x7F && unit < 0xA0) ||
                     std::u16string_view(u"\\/:*?\"<>|").find(unit) != std::u16string_view::npos;
    if (bad) {
      safe.push_back(u'_');
      bytes += 1;
    } else {
      safe.append(name, i, units);
      bytes += length;
    }
    i += units;
  }
  while (!safe.empty() && (safe.back() == u'.' || safe.back() == u' ')) safe.back() = u'_';
  if (safe.empty()) safe.push_back(u'_');
  const size_t dot = std::min(safe.find(u'.'), safe.size());
  if (IsDeviceName(std::u16string_view(safe).substr(0, dot))) safe.insert(dot, u"_");
  if (LooksShort(safe)) std::replace(safe.begin(), safe.end(), u'~', u'_');
  return safe;
}

// The names given out so far, as Windows compares them (its own upper-case table), so that no
// two files are one on either system. A name taken gets " (2)", " (3)"... before its extension:
// never the form of an 8.3 name, which has no space.
class FileNames {
 public:
  explicit FileNames(std::u16string_view reserved) { taken_.insert(UpperCaseUnits(reserved)); }
  std::string Unique(const std::u16string& wanted) {
    const std::u16string name = SafeName(wanted);
    const std::u16string key = UpperCaseUnits(name);
    std::u16string chosen = name;
    if (!taken_.insert(key).second) {
      const size_t dot = name.rfind(u'.');
      const size_t split = dot == std::u16string::npos || dot == 0 ? name.size() : dot;
      unsigned& next = next_[key];  // where the last name like it stopped: linear however many
      do {
        const std::string number = " (" + std::to_string(2 + next++) + ")";
        chosen = name.substr(0, split) + std::u16string(number.begin(), number.end()) +
                 name.substr(split);
      } while (!taken_.insert(UpperCaseUnits(chosen)).second);
    }
    return Utf16ToUtf8(chosen);
  }

 private:
  std::set<std::u16string> taken_;
  std::map<std::u16string, unsigned> next_;
};

bool IsPayload(const ResourceItem& item) {
  return item.type == ResourceKey::Name(u"B7") || item.type == ResourceKey::Name(u"BL") ||
         item.type == ResourceKey::Name(u"BN");
}

// One file extract writes: its name in the folder, its bytes, and whether they are a cabinet to
// expand.
struct Planned {
  std::string name;
  ByteSpan bytes;
  bool expand = false;
  bool program = false;
};

// Everything decided before anything is written: what fails, fails with the folder untouched.
// Then each file is written under a temporary name and committed without replacing anything;
// when one cannot be, the files already in place and a folder made here are removed again.
int Extract(const InstallerReport& report, const std::string& folder,
            const std::function<void()>& unchanged) {
  namespace fs = std::filesystem;
  if (report.setup && report.setup->expanded && !report.setup->cabinet_fault.empty()) {
    Fail("the setup program's cabinet: " + report.setup->cabinet_fault);
  }
  FileNames names(u"setup.exe");
  std::vector<Planned> plan;
  if (report.archive >= 0) {
    const ResourceItem& item = report.resources[static_cast<size_t>(report.archive)];
    plan.push_back({names.Unique(item.name.name), item.data});
  }
  if (report.setup) {
    const ResourceItem& item = report.resources[report.setup->resource];
    // A patch is written under its own name, as the installer writes it.
    if (report.setup->patch) {
      plan.push_back({names.Unique(item.name.name), item.data});
    } else {
      plan.push_back({"setup.exe", item.data, report.setup->expanded, true});
    }
  }
  for (size_t i = 0; i < report.resources.size(); ++i) {
    const ResourceItem& item = report.resources[i];
    if (!IsPayload(item) || static_cast<long>(i) == report.archive ||
        (report.setup && i == report.setup->resource)) {
      continue;
    }
    plan.push_back({names.Unique(item.name.is_name ? item.name.name : u"_"), item.data});
  }
  std::error_code error;
  const fs::path where = fs::u8path(folder);
  bool made = false;
  if (fs::exists(where, error)) {
    if (!fs::is_directory(where, error) || !fs::is_empty(where, error)) {
      Fail("--to " + Quoted(folder) + " must be an empty folder, or not exist yet");
    }
  } else if (!(made = fs::create_directory(where, error))) {
    Fail("cannot make the folder " + Quoted(folder) + ": " + error.message());
  }
  std::vector<std::string> written;
  try {
    for (const Planned& file : plan) {
      const std::string path = folder + "/" + file.name;
      OutputFile out(folder, path, file.program ? OutputKind::kInstaller : OutputKind::kData);
      if (file.expand) {
        CabinetContents contents;
        ReadCabinet(file.bytes, [&](const uint8_t* b, size_t n) { out.Write(b, n); }, &contents);
      } else {
        ForEachWindow(file.bytes, [&out](const uint8_t* data, size_t size) {
          out.Write(data, size);
        });
      }
      unchanged();  // what was written is what was checked
      out.Commit(path, false);
      written.push_back(path);
    }
  } catch (...) {
    for (const std::string& path : written) fs::remove(fs::u8path(path), error);
    if (made) fs::remove(where, error);
    throw;
  }
  std::string shown;
  for (const std::string& path : written) shown += Shown(path) + "\n";
  PrintOut(shown);
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
  InputFile file(options.installer, "installer");
  InstallerReport report;
  // A file past what Windows loads is no installer, whatever it holds.
  if (file.size() > kMaxImageSize) {
    report.file_size = file.size();
    report.unreadable = "not an installer: " + GroupedDigits(file.size()) +
                        " bytes, more than the 2 GB Windows loads";
  } else {
    report = ReadInstaller(file.Map(), KnownStubs());
  }
  if (report.signature && options.ca_file) {
    JudgeChains(anchors, static_cast<int64_t>(std::time(nullptr)), &*report.signature);
  }
  // Whatever is shown or written below was read from the mapping: the file must not have
  // changed while it was (a rewrite, or a file cut short).
  const auto unchanged = [&file] { file.ExpectEnd(); };
  if (options.command == "inspect") {
    const std::string json = options.json ? ReportJson(report) : "";
    const std::string table = !options.json && report.unreadable.empty() ? Table(report) : "";
    unchanged();
    if (options.json) {
      PrintOut(json + "\n");
    } else if (report.unreadable.empty()) {
      PrintOut(table);
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
    unchanged();
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
  return Extract(report, options.to, unchanged);
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
