// tamrel-pack: writes an installer from the stub carried inside it and the product's files.
#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cabinet_writer.h"
#include "entry.h"
#include "file_io.h"
#include "icon_file.h"
#include "key_signing.h"
#include "reading_commands.h"
#include "options.h"
#include "pack_error.h"
#include "payload_scan.h"
#include "pe_image.h"
#include "pe_kind.h"
#include "resource_tree.h"
#include "signing.h"
#include "stub_image.h"
#include "text.h"
#include "version_block.h"

#ifndef TAMREL_PACK_VERSION
#define TAMREL_PACK_VERSION "0.0.0"
#endif

namespace pack {
namespace {


// $SOURCE_DATE_EPOCH in seconds, or nothing when unset or empty.
std::optional<uint64_t> SourceDate() {
  std::string storage;
  const char* text = GetEnvironment("SOURCE_DATE_EPOCH", &storage);
  if (text == nullptr || *text == '\0') return std::nullopt;
  uint64_t seconds = 0;
  for (const char* at = text; *at; ++at) {
    if (*at < '0' || *at > '9') {
      Fail("SOURCE_DATE_EPOCH=" + Quoted(text) + " is not a whole number of seconds since 1970");
    }
    // Far past the last DOS date already: what a cabinet stores is the same from here on.
    if (seconds < 100000000000000000ull) seconds = seconds * 10 + static_cast<uint64_t>(*at - '0');
  }
  return seconds;
}

std::u16string Utf16(const std::string& text, const std::string& what) {
  std::u16string units;
  if (!Utf8ToUtf16(text, &units)) Fail(what + " is not valid UTF-8 text");
  return units;
}

ResourceKey NameKey(const std::string& text, const std::string& what) {
  return ResourceKey::Name(StoredResourceName(Utf16(text, what), what));
}

ResourceEntry FileEntry(ResourceKey type, ResourceKey name, InputFile& file) {
  ResourceEntry entry;
  entry.type = std::move(type);
  entry.name = std::move(name);
  entry.language = kEnglishUs;
  entry.source.size = file.size();
  entry.source.file = &file;
  return entry;
}

// The stub's resources with the branding applied: the version block rewritten, icon group 107
// and the icons it names replaced by the product's.
std::vector<ResourceEntry> BrandedStubResources(const StubImage& stub, const Branding& branding,
                                                std::vector<IconImage>* icon) {
  std::vector<ResourceEntry> own = stub.Resources();
  if (!branding.empty()) {
    for (ResourceEntry& entry : own) {
      if (entry.type == ResourceKey::Id(kRtVersion)) {
        entry.source.bytes = BrandVersionBlock(entry.source.bytes, branding);
        entry.source.size = entry.source.bytes.size();
      }
    }
  }
  if (icon == nullptr) return own;

  std::vector<uint16_t> replaced;
  uint16_t language = kEnglishUs;
  for (const ResourceEntry& entry : own) {
    if (entry.type == ResourceKey::Id(kRtGroupIcon) && entry.name == ResourceKey::Id(kIconGroup)) {
      language = entry.language;
      const std::vector<uint8_t>& group = entry.source.bytes;
      size_t count = group.size() >= 6 ? static_cast<size_t>(group[4] | group[5] << 8) : 0;
      for (size_t i = 0; i < count && 6 + 14 * i + 14 <= group.size(); ++i) {
        const uint8_t* at = group.data() + 6 + 14 * i + 12;
        replaced.push_back(static_cast<uint16_t>(at[0] | at[1] << 8));
      }
    }
  }
  std::vector<ResourceEntry> kept;
  uint16_t last_icon = 0;
  for (ResourceEntry& entry : own) {
    bool is_group = entry.type == ResourceKey::Id(kRtGroupIcon) &&
                    entry.name == ResourceKey::Id(kIconGroup);
    bool is_replaced_icon = false;
    if (entry.type == ResourceKey::Id(kRtIcon) && !entry.name.is_name) {
      for (uint16_t id : replaced) is_replaced_icon |= entry.name.id == id;
      if (!is_replaced_icon && entry.name.id > last_icon) last_icon = entry.name.id;
    }
    if (!is_group && !is_replaced_icon) kept.push_back(std::move(entry));
  }
  const uint16_t first_id = static_cast<uint16_t>(last_icon + 1);
  ResourceEntry group;
  group.type = ResourceKey::Id(kRtGroupIcon);
  group.name = ResourceKey::Id(kIconGroup);
  group.language = language;
  group.source.bytes = GroupIconData(*icon, first_id);
  group.source.size = group.source.bytes.size();
  // The images move into the resources: an icon file's bytes are held once.
  for (size_t i = 0; i < icon->size(); ++i) {
    ResourceEntry image;
    image.type = ResourceKey::Id(kRtIcon);
    image.name = ResourceKey::Id(static_cast<uint16_t>(first_id + i));
    image.language = language;
    image.source.bytes = std::move((*icon)[i].data);
    image.source.size = image.source.bytes.size();
    kept.push_back(std::move(image));
  }
  kept.push_back(std::move(group));
  return kept;
}

void CheckImageSize(const StubImage& stub, uint64_t resource_size) {
  uint64_t image = stub.ImageSize(resource_size);
  if (image > kMaxImageSize) {
    Fail("the installer would be an image of " + GroupedDigits(image) +
         " bytes; a PE32+ image can be at most " + GroupedDigits(kMaxImageSize) +
         " bytes (2 GB): make the archive smaller or split the product");
  }
}

// The payload as the installer's own scan will find it; refused unless it would go on to run
// setup, or the user asked for an incomplete installer. Returns the entry the scan takes as the
// setup program, or null.
const ResourceEntry* CheckPayload(const ResourceTree& tree, bool allow_incomplete) {
  const std::vector<ResourceEntry>& entries = tree.entries();
  std::vector<PayloadName> names;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ResourceEntry& entry = entries[i];
    if (!entry.type.is_name) continue;
    // Each stored in one language and as FindResourceW finds it (StoredResourceName), so the
    // lookup finds the entry itself. The cabinet, made later, is never empty.
    PayloadName name;
    name.type = entry.type.name;
    name.is_id = !entry.name.is_name;
    name.name = entry.name.name;
    name.size = entry.source.deferred ? 1 : entry.source.size;
    name.found = static_cast<long>(i);
    names.push_back(name);
  }
  const PayloadVerdict verdict = ScanPayload(names.data(), names.size());
  auto entry_of = [&](long name) -> const ResourceEntry& {
    return entries[static_cast<size_t>(names[static_cast<size_t>(name)].found)];
  };
  if (verdict.exit_code == 0) return &entry_of(verdict.setup);
  if (allow_incomplete) return nullptr;
  std::string why;
  if (verdict.error == 2) {
    why = verdict.exit_code == 112
              ? "it holds no archive (give --archive, or a --resource of type B7, BL or BN "
                "named \"tamrel...\")"
              : "it holds no setup program (give --setup, or a --resource of type B7, BL or BN "
                "named \"setup...\")";
  } else {
    const ResourceEntry& entry = entry_of(verdict.rejected);
    const std::string resource =
        "resource " + entry.type.Text() + " " + Quoted(entry.name.Text());
    switch (verdict.error) {
      case 13:
        why = resource + " is named neither \"tamrel...\" (the archive) nor \"setup...\" (the "
              "setup program), which every resource of types B7, BL and BN must be";
        break;
      case 68:
        why = resource + " is a second " +
              (verdict.rejected_archive ? "archive" : "setup program") +
              ", and the installer takes one";
        break;
      case 206:
        why = resource + " has a name of 260 UTF-16 units or more, too long for a file name";
        break;
      default:
        why = resource + " has a name holding \\, / or :, which cannot be a file name";
    }
  }
  Fail("the installer would exit with " + std::to_string(verdict.exit_code) +
       " before setup runs: " + why + "; --allow-incomplete writes it anyway");
}

// The setup program the installer would start, read no further than its headers: one that is no
// program for x64 or x86 would pack and verify, and then end the installer with 124 on the user's
// machine. A patch becomes setup.exe only there, and a cabinet given as a resource is the user's.
void CheckSetupProgram(const ResourceEntry& entry, InputFile* setup) {
  const bool packed_here = entry.source.deferred;
  InputFile* file = packed_here ? setup : entry.source.file;
  if (file == nullptr || !(packed_here || entry.type == ResourceKey::Name(u"BN"))) return;
  ProgramHeaders headers;
  std::vector<uint8_t> bytes;
  for (auto wanted = headers.Wanted(file->size()); wanted.count != 0;
       wanted = headers.Wanted(file->size())) {
    bytes.resize(wanted.count);
    file->ReadAt(wanted.offset, bytes.data(), bytes.size());
    headers.See(wanted.offset, bytes.data(), bytes.size());
  }
  const std::string fault = headers.Fault(file->size());
  if (fault.empty()) return;
  Fail((packed_here ? "--setup " + Quoted(file->path())
                    : "resource BN " + Quoted(entry.name.Text())) + " " + fault);
}

// Windows maps an executable file of at most what an image may be: the certificate table that
// signing appends counts too.
void CheckSignedSize(uint64_t size) {
  if (size > kMaxImageSize) {
    Fail("the signed installer would be " + GroupedDigits(size) + " bytes; Windows loads an "
         "executable file of at most " + GroupedDigits(kMaxImageSize) +
         " bytes (2 GB), its signature included: make the archive smaller");
  }
}

// A PE32+ image's text must not end the quoted value it is pasted into on setup's command line,
// and an empty one would match every previous installation.
std::u16string PreviousVersion(const std::string& text) {
  std::u16string units = CheckedText("--previous-version", text);
  if (text.find('"') != std::string::npos) {
    Fail("--previous-version " + Quoted(text) + " holds a double quote, which would end the "
         "value on setup's command line");
  }
  return units;
}

void Pack(const Options& options) {
  // Every input is opened, and so checked, first; its size is taken now and held to.
  std::vector<std::unique_ptr<InputFile>> inputs;
  auto open = [&inputs](const std::optional<std::string>& path, const char* what) -> InputFile* {
    if (!path) return nullptr;
    inputs.push_back(std::make_unique<InputFile>(*path, what));
    return inputs.back().get();
  };
  InputFile* archive = open(options.archive, "archive");
  InputFile* setup = open(options.setup, "setup program");
  InputFile* rcdata1 = open(options.rcdata1, "RT_RCDATA 1 file");
  std::vector<InputFile*> extra;
  for (const ExtraResource& resource : options.resources) {
    extra.push_back(open(resource.file, "resource file"));
  }
  InputFile* icon_file = open(options.icon, "icon");
  // Read by the signing tools, but never to be replaced either.
  open(options.sign_cert, "certificate");
  open(options.sign_key, "signing key");
  open(options.sign_pass_file, "passphrase file");

  Branding branding;
  if (options.product_name) branding.product_name = CheckedText("--product-name", *options.product_name);
  if (options.company) branding.company = CheckedText("--company", *options.company);
  if (options.description) branding.description = CheckedText("--description", *options.description);
  if (options.copyright) branding.copyright = CheckedText("--copyright", *options.copyright);
  if (options.product_version) {
    branding.version_numbers = VersionNumbers(*options.product_version);
    branding.product_version = Utf16(*options.product_version, "--product-version");
  }
  std::optional<std::vector<IconImage>> icon;
  if (icon_file) icon = ReadIconFile(*icon_file);
  const std::optional<uint64_t> epoch = SourceDate();
  // A key file signs here, in the same pass as the rest; what this build cannot sign itself
  // goes to osslsigncode, whose tools are checked for now.
  KeyMaterialOwner key;
  if (options.sign_cert) key = LoadKeyMaterial(options);
  if (options.sign_command || (options.sign_cert && !key)) CheckSigningMaterial(options);

  const StubImage stub(kStubImage, kStubImageSize);
  std::vector<ResourceEntry> entries =
      BrandedStubResources(stub, branding, icon ? &*icon : nullptr);
  if (options.previous_version) {
    ResourceEntry text;
    text.type = ResourceKey::Id(kRtRcData);
    text.name = ResourceKey::Id(1);
    text.language = kEnglishUs;
    for (char16_t unit : PreviousVersion(*options.previous_version)) {
      text.source.bytes.push_back(static_cast<uint8_t>(unit));
      text.source.bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    text.source.bytes.insert(text.source.bytes.end(), {0, 0});
    text.source.size = text.source.bytes.size();
    entries.push_back(std::move(text));
  }
  if (rcdata1) entries.push_back(FileEntry(ResourceKey::Id(kRtRcData), ResourceKey::Id(1), *rcdata1));
  if (archive) {
    entries.push_back(FileEntry(ResourceKey::Name(u"B7"), ResourceKey::Name(u"TAMREL.PACKED.7Z"), *archive));
  }
  const size_t cabinet_index = entries.size();
  if (setup) {
    ResourceEntry cabinet;
    cabinet.type = ResourceKey::Name(u"BL");
    cabinet.name = ResourceKey::Name(u"SETUP.EX_");
    cabinet.language = kEnglishUs;
    cabinet.source.deferred = true;
    entries.push_back(std::move(cabinet));
  }
  for (size_t i = 0; i < options.resources.size(); ++i) {
    const ExtraResource& resource = options.resources[i];
    ResourceKey type = NameKey(resource.type, "--resource type");
    ResourceKey name = NameKey(resource.name, "--resource name");
    // The installer writes a compressed or patch setup program under its own name and then
    // makes setup.exe beside it: one named setup.exe would be overwritten by its own result.
    if ((type == ResourceKey::Name(u"BL") || type == ResourceKey::Name(u"B7")) &&
        name == ResourceKey::Name(u"SETUP.EXE")) {
      Fail("resource " + type.Text() + " " + Quoted(resource.name) +
           ": a setup program of type BL or B7 cannot be named setup.exe (the installer makes "
           "setup.exe from it): give it another name, or type BN for setup.exe itself");
    }
    entries.push_back(FileEntry(std::move(type), std::move(name), *extra[i]));
  }

  std::vector<const InputFile*> all_inputs;
  for (const auto& input : inputs) all_inputs.push_back(input.get());
  CheckOutput(options.output, all_inputs);
  // Duplicates and the size limit, with the cabinet counted as empty for now: whatever it adds
  // can only make the image larger.
  {
    const ResourceTree draft(entries);
    CheckImageSize(stub, draft.size());
    const ResourceEntry* setup_entry = CheckPayload(draft, options.allow_incomplete);
    if (setup_entry != nullptr && !options.allow_incomplete) CheckSetupProgram(*setup_entry, setup);
  }

  // The setup program is compressed on a thread of its own while the rest is copied; its
  // cabinet's bytes go last, so nothing else waits for its size.
  const std::string folder = FolderOf(options.output);
  std::unique_ptr<OutputFile> cabinet;
  std::future<uint64_t> cabinet_size;
  std::atomic<bool> cancel{false};
  // Declared after the future, so gone before it: whatever ends this run early stops the
  // compression first, rather than waiting for it to finish for nothing.
  struct StopOnExit {
    std::atomic<bool>& stop;
    ~StopOnExit() { stop.store(true); }
  } stop_compression{cancel};
  if (setup) {
    cabinet = std::make_unique<OutputFile>(folder, options.output, OutputKind::kScratch);
    entries[cabinet_index].source.written = cabinet.get();
    const DosTime stamp = DosTimeFromEpoch(epoch ? *epoch : kFirstDosSecond);
    cabinet_size = std::async(std::launch::async, [setup, &cabinet, stamp, &cancel] {
      return WriteCabinet(*setup, *cabinet, stamp, &cancel);
    });
  }
  ResourceTree tree(std::move(entries));
  std::optional<uint64_t> known_size;
  auto finish_cabinet = [&] {
    if (!known_size) known_size = cabinet_size.get();
    return *known_size;
  };
  // A cabinet is at most its input plus a few bytes a block: when even that could pass the
  // limit, the real size is waited for before anything is written.
  if (setup) {
    const uint64_t most = setup->size() + (setup->size() / 32768 + 1) * 16 + 256;
    if (stub.ImageSize(tree.SizeWith(most)) > kMaxImageSize) {
      CheckImageSize(stub, tree.SizeWith(finish_cabinet()));
    }
  }

  OutputFile installer(folder, options.output, OutputKind::kInstaller);
  stub.Write(installer, tree, finish_cabinet);
  CheckImageSize(stub, tree.size());
  if (!options.sign_cert || key) {
    if (key) {
      SignInPlace(installer, *key, epoch ? *epoch : kFirstDosSecond);
      CheckSignedSize(installer.offset());
    }
    // The signing command works on the complete installer under its temporary name; what it
    // leaves is checked, and only then renamed into place.
    if (options.sign_command) {
      const std::string path = installer.CloseForOthers();
      SignWithCommand(path, options.sign_command_words);
      CheckSignedSize(FileSize(path, options.output));
      installer.Commit(options.output);
      if (!options.quiet) PrintOut(PackedSummary(options.output));
      return;
    }
    // Digested from the pages just written while the disk takes them, then synced; printed only
    // once the installer is in place.
    std::string summary;
    if (!options.quiet) {
      summary = PackedSummary(options.output, installer.offset(), [&installer](const auto& see) {
        installer.See(0, installer.offset(), see);
      });
    }
    installer.Commit(options.output);
    PrintOut(summary);
    return;
  }
  const std::string unsigned_path = installer.CloseForOthers();
  // A name of its own for the signed file, free for the signing tool, which writes only a file
  // that does not exist yet.
  OutputFile signed_installer(folder, options.output, OutputKind::kForTool);
  Sign(unsigned_path, signed_installer.path(), options, epoch);
  CheckSignedSize(FileSize(signed_installer.path(), options.output));
  signed_installer.Commit(options.output);
  if (!options.quiet) PrintOut(PackedSummary(options.output));
}

}  // namespace

int Main(const std::vector<std::string>& arguments) {
  StartProcess();
  try {
    Options options = ParseOptions(arguments);
    if (!options.command.empty() && !options.help) {
      const int code = RunReader(options);
      FinishOutput();
      return code;
    }
    if (options.help) {
      PrintOut(kUsage);
    } else if (options.version) {
      PrintOut(std::string("tamrel-pack ") + TAMREL_PACK_VERSION + "\n");
    } else {
      Pack(options);
    }
    FinishOutput();
    return 0;
  } catch (const PackError& error) {
    // Messages quote what they name; a control character left in one still cannot break it.
    std::fprintf(stderr, "tamrel-pack: %s\n", Shown(error.what()).c_str());
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tamrel-pack: out of memory\n");
  }
  return 2;
}

}  // namespace pack
