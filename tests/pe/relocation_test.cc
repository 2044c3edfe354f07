// A packed installer loaded where it did not ask to be. Windows relocates every DYNAMIC_BASE image
// at each start; Wine maps an image at its preferred base whenever that is free, so a normal run
// never exercises the base relocations the packer moved. Here the base is taken first, and the
// installer is loaded as a library (Wine starts no exe away from its base: see the last test).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/installer_run_support.h"
#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::InstallerRun;
using testing_support::ReadFileBytes;
using testing_support::RegistryString;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::TestDirectory;
using testing_support::WriteFileBytes;

// Names the library copy in the test's child process; set only there.
const wchar_t kChildVariable[] = L"RELOCATION_TEST_LOAD";
const DWORD kLoadReturned = 0xE0000001u;    // the installer's entry point came back: it never does
const DWORD kBaseStillFree = 0xE0000002u;  // the preferred base could not be taken away
const DWORD kErrorImageNotAtBase = 700;    // ERROR_IMAGE_NOT_AT_BASE, which mingw does not name

const IMAGE_NT_HEADERS64* Headers(const std::string& file) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
  return reinterpret_cast<const IMAGE_NT_HEADERS64*>(file.data() + dos->e_lfanew);
}

IMAGE_NT_HEADERS64* Headers(std::string& file) {
  return const_cast<IMAGE_NT_HEADERS64*>(Headers(static_cast<const std::string&>(file)));
}

// The file offset of an RVA inside a section's raw data, or 0.
size_t FileOffset(const std::string& file, DWORD rva) {
  const IMAGE_NT_HEADERS64* nt = Headers(file);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData) {
      return section->PointerToRawData + (rva - section->VirtualAddress);
    }
  }
  return 0;
}

struct Fixup {
  DWORD rva;
  ULONGLONG value;  // the address the file holds there, for the preferred base
};

// Every 64-bit fixup the image's base relocation blocks name.
std::vector<Fixup> Fixups(const std::string& file) {
  const IMAGE_DATA_DIRECTORY directory =
      Headers(file)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  std::vector<Fixup> fixups;
  const size_t start = FileOffset(file, directory.VirtualAddress);
  for (size_t at = 0; start != 0 && at + 8 <= directory.Size;) {
    IMAGE_BASE_RELOCATION block;
    memcpy(&block, file.data() + start + at, sizeof block);
    if (block.SizeOfBlock < 8) break;
    for (size_t entry = 8; entry + 2 <= block.SizeOfBlock; entry += 2) {
      WORD word;
      memcpy(&word, file.data() + start + at + entry, 2);
      if (word >> 12 != IMAGE_REL_BASED_DIR64) continue;
      Fixup fixup = {block.VirtualAddress + (word & 0xFFFu), 0};
      memcpy(&fixup.value, file.data() + FileOffset(file, fixup.rva), 8);
      fixups.push_back(fixup);
    }
    at += block.SizeOfBlock;
  }
  return fixups;
}

// Keeps the image's preferred base from the loader: reserved here, or already in use (this test
// program's own image lies at the base mingw links both with).
class TakenBase {
 public:
  explicit TakenBase(const std::string& file) {
    const IMAGE_OPTIONAL_HEADER64& optional = Headers(file)->OptionalHeader;
    base_ = reinterpret_cast<void*>(optional.ImageBase);
    reserved_ = VirtualAlloc(base_, optional.SizeOfImage, MEM_RESERVE, PAGE_NOACCESS);
    MEMORY_BASIC_INFORMATION info = {};
    taken_ = reserved_ == base_ ||
             (VirtualQuery(base_, &info, sizeof info) != 0 && info.State != MEM_FREE);
  }
  ~TakenBase() {
    if (reserved_ != nullptr) VirtualFree(reserved_, 0, MEM_RELEASE);
  }
  TakenBase(const TakenBase&) = delete;
  TakenBase& operator=(const TakenBase&) = delete;
  bool taken() const { return taken_; }
  ULONGLONG base() const { return reinterpret_cast<ULONGLONG>(base_); }

 private:
  void* base_ = nullptr;
  void* reserved_ = nullptr;
  bool taken_ = false;
};

// The copy an InstallerRun made, marked as a library so that the loader maps it beside this
// program (IMAGE_FILE_DLL; nothing else changes).
void MarkAsLibrary(const std::wstring& path) {
  std::string file;
  ASSERT_TRUE(ReadFileBytes(path, &file));
  Headers(file)->FileHeader.Characteristics |= IMAGE_FILE_DLL;
  ASSERT_TRUE(WriteFileBytes(path, file));
}

std::string Hex(ULONGLONG value) {
  char text[20];
  snprintf(text, sizeof text, "0x%llx", value);
  return text;
}

TEST(RelocatedInstaller, EveryFixupMovesByTheDeltaAndTheResourcesAreReadOnly) {
  // The blocks the linker wrote, from the stub itself: a packer that moved them wrongly, or
  // pointed the directory elsewhere, makes the loader patch other bytes than these.
  std::string stub, installer;
  ASSERT_TRUE(ReadFileBytes(TestDirectory() + L"..\\stub.exe", &stub));
  const std::vector<Fixup> fixups = Fixups(stub);
  ASSERT_FALSE(fixups.empty());
  InstallerRun run(L"e2e_normal", L"pe_relocated_fixups", L"installer.dll");
  MarkAsLibrary(run.path());
  ASSERT_TRUE(ReadFileBytes(run.path(), &installer));
  const TakenBase taken(installer);
  ASSERT_TRUE(taken.taken());

  const HMODULE module = LoadLibraryExW(run.path().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(nullptr, module) << "error " << GetLastError();
  const auto* loaded = reinterpret_cast<const unsigned char*>(module);
  const ULONGLONG delta = reinterpret_cast<ULONGLONG>(module) - taken.base();
  EXPECT_NE(0u, delta);
  for (const Fixup& fixup : fixups) {
    ULONGLONG value;
    memcpy(&value, loaded + fixup.rva, 8);
    EXPECT_EQ(Hex(fixup.value + delta), Hex(value)) << "fixup at RVA " << Hex(fixup.rva);
  }
  const IMAGE_DATA_DIRECTORY resources =
      Headers(installer)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
  MEMORY_BASIC_INFORMATION info = {};
  ASSERT_NE(0u, VirtualQuery(loaded + resources.VirtualAddress, &info, sizeof info));
  EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), info.Protect) << Hex(info.Protect);
  EXPECT_GE(info.RegionSize, resources.Size);
  FreeLibrary(module);
}

TEST(RelocatedInstaller, RunAwayFromItsBaseSetupGetsTheProductAndNothingIsLeft) {
  wchar_t child[MAX_PATH] = {};
  if (GetEnvironmentVariableW(kChildVariable, child, MAX_PATH) != 0) {
    // The child: the library's entry point is the installer's, which runs the whole installation
    // from its relocated image and ends this process with setup's exit code.
    std::string file;
    ASSERT_TRUE(ReadFileBytes(child, &file));
    const TakenBase taken(file);
    if (!taken.taken()) ExitProcess(kBaseStillFree);
    LoadLibraryW(child);
    ExitProcess(kLoadReturned);
  }
  InstallerRun run(L"e2e_normal", L"pe_relocated_run", L"installer.dll");
  MarkAsLibrary(run.path());
  ScopedEnvironment load(kChildVariable, run.path().c_str());
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"0x2A");
  ScopedRegistryValue cleanup_on(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                 RegistryString(L"1"));
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
  const std::wstring filter =
      L" --gtest_filter=RelocatedInstaller.RunAwayFromItsBaseSetupGetsTheProductAndNothingIsLeft";
  EXPECT_EQ(Hex(0x2A), Hex(run.RunCommandLine(L"\"" + std::wstring(self) + L"\"" + filter)));
  ASSERT_EQ(1u, run.runs().size());
  const testing_support::SetupRun& setup = run.runs()[0];
  EXPECT_EQ(0u, setup.work_directory.find(run.folder()))
      << testing::PrintToString(setup.work_directory);
  EXPECT_EQ((std::vector<std::wstring>{L"TAMREL.PACKED.7Z", L"setup.exe"}), setup.entries);
  std::string archive;
  ASSERT_TRUE(ReadFileBytes(TestDirectory() + L"..\\demo\\demo.7z", &archive));
  EXPECT_EQ(0u, setup.archive.find(std::to_wstring(archive.size()) + L" 377ABCAF271C"))
      << testing::PrintToString(setup.archive);
  // The installer's own arguments are this program's, after its path.
  const std::wstring& line = setup.command_line;
  EXPECT_EQ(filter, line.substr(line.size() - std::min(line.size(), filter.size())));
  EXPECT_TRUE(run.Left().empty()) << testing::PrintToString(run.Left());
}

TEST(WineDiffersFromWindows, AnExeWhosePreferredBaseIsTakenDoesNotStart) {
  // Rebased as a rebasing tool does it (every fixup and ImageBase moved together) to a base over
  // the page every process has at 0x7ffe0000. Windows would place it elsewhere and run it; Wine
  // maps it elsewhere, prints "wine: failed to start" and fails CreateProcessW with
  // ERROR_IMAGE_NOT_AT_BASE: it runs no exe away from its preferred base.
  const ULONGLONG kTakenBase = 0x7ffe0000;
  InstallerRun run(L"e2e_normal", L"pe_rebased_exe");
  std::string file;
  ASSERT_TRUE(ReadFileBytes(run.path(), &file));
  IMAGE_OPTIONAL_HEADER64& optional = Headers(file)->OptionalHeader;
  for (const Fixup& fixup : Fixups(file)) {
    const ULONGLONG moved = fixup.value - optional.ImageBase + kTakenBase;
    memcpy(&file[FileOffset(file, fixup.rva)], &moved, 8);
  }
  optional.ImageBase = kTakenBase;
  ASSERT_TRUE(WriteFileBytes(run.path(), file));
  ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", L"0x2A");
  EXPECT_EQ(Hex(~0u), Hex(run.Run()));
  EXPECT_EQ(kErrorImageNotAtBase, run.start_error());
  EXPECT_TRUE(run.runs().empty());
  EXPECT_TRUE(run.Left().empty()) << testing::PrintToString(run.Left());
}

}  // namespace
