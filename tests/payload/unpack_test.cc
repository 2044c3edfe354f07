#include "payload/unpack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "testing/payload_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::PayloadFixtureBytes;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::TestInstaller;

// An installer from tests.cmake, mapped for its resources only, as the stub sees its own image.
class Installer {
 public:
  explicit Installer(const wchar_t* name)
      : module_(LoadLibraryExW(TestInstaller(std::wstring(L"payload_") + name).c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {
    EXPECT_NE(nullptr, module_) << Narrow(name) << " error " << GetLastError();
  }
  ~Installer() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  HMODULE module() const { return module_; }

 private:
  HMODULE module_;
};

struct Unpacked {
  ExitResult result;
  PathString setup_path;
  TypeTag setup_type;
  PathString archive_path;
  TypeTag archive_type;
};

void Unpack(const wchar_t* installer, const std::wstring& work_directory, Unpacked& out,
            const UnpackApi& api = UnpackApi()) {
  Installer image(installer);
  out.result = UnpackPayload(image.module(), work_directory.c_str(), out.setup_path,
                             out.setup_type, out.archive_path, out.archive_type, api);
}

std::vector<std::wstring> Sorted(std::vector<std::wstring> names) {
  std::sort(names.begin(), names.end());
  return names;
}

std::string Bytes(const std::wstring& path) {
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(path, &bytes)) << Narrow(path);
  return bytes;
}

TEST(UnpackPayload, WritesBothPiecesUnderTheirNames) {
  struct Case {
    const wchar_t* installer;
    const wchar_t* archive_name;
    const wchar_t* archive_type;
    const wchar_t* setup_type;
    const wchar_t* setup_name;
    const wchar_t* setup_content;
  } cases[] = {
      // As built: a 7z archive in "B7", a cabinet in "BL"; the cabinet itself is gone.
      {L"built", L"TAMREL.PACKED.7Z", L"B7", L"BL", L"setup.exe", L"setup.bin"},
      // Names given in mixed case are stored as resource compilers store them, upper-cased, and
      // the lower-case prefixes match them.
      {L"mixed_case", L"TAMREL.PACKED.7Z", L"B7", L"BL", L"setup.exe", L"setup.bin"},
      // An uncompressed setup program is written as setup.exe whatever its name.
      {L"bn_setup", L"TAMREL.PACKED.7Z", L"B7", L"BN", L"setup.exe", L"setup.bin"},
      {L"bn_archive", L"TAMREL.UNCOMPRESSED", L"BN", L"BL", L"setup.exe", L"setup.bin"},
      // A patch keeps its own name; applying it is a later step's work.
      {L"patch", L"TAMREL.PACKED.7Z", L"B7", L"B7", L"SETUP.PATCH", L"small.bin"},
      {L"short_names", L"TAMREL", L"B7", L"BL", L"setup.exe", L"setup.bin"},
      // An empty resource ends the scan of "B7" before its archive; the one in "BN" is found.
      {L"empty_then_bn", L"TAMREL.BN", L"BN", L"BL", L"setup.exe", L"setup.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.installer));
    ScratchDir work(L"unpack");
    Unpacked out;
    Unpack(c.installer, work.path(), out);
    EXPECT_EQ(0u, out.result.exit_code);
    EXPECT_EQ(0u, out.result.extra_code);
    EXPECT_EQ(work / c.archive_name, out.archive_path.Get());
    EXPECT_EQ(work / c.setup_name, out.setup_path.Get());
    EXPECT_STREQ(c.archive_type, out.archive_type.Get());
    EXPECT_STREQ(c.setup_type, out.setup_type.Get());
    EXPECT_EQ(Sorted({c.archive_name, c.setup_name}), ListDirectory(work.path()));
    EXPECT_TRUE(Bytes(out.archive_path.Get()) == PayloadFixtureBytes(L"payload.7z"));
    EXPECT_TRUE(Bytes(out.setup_path.Get()) == PayloadFixtureBytes(c.setup_content));
  }
}

TEST(UnpackPayload, RejectedOrMissingResourcesWriteNothing) {
  struct Case {
    const wchar_t* installer;
    DWORD exit_code;
    DWORD extra_code;
    const wchar_t* archive_type;
    const wchar_t* setup_type;
  } cases[] = {
      {L"unknown_in_b7", 112, ERROR_INVALID_DATA, L"", L""},
      // Once the archive was found in an earlier type, a rejection is the setup program's.
      {L"unknown_in_bl", 115, ERROR_INVALID_DATA, L"B7", L""},
      // The archive was seen in the same type before the rejected name: still the archive's.
      {L"unknown_beside_archive", 112, ERROR_INVALID_DATA, L"", L""},
      {L"two_archives_b7", 112, ERROR_TOO_MANY_NAMES, L"", L""},
      {L"two_archives", 115, ERROR_TOO_MANY_NAMES, L"B7", L""},
      {L"two_setups", 115, ERROR_TOO_MANY_NAMES, L"B7", L"BL"},
      // 260 characters cannot be held with a terminator in a path buffer.
      {L"name_260", 112, ERROR_FILENAME_EXCED_RANGE, L"", L""},
      // A name that would leave the work directory is refused before anything is written.
      {L"archive_name_climbs", 112, ERROR_INVALID_NAME, L"", L""},
      {L"setup_name_climbs", 115, ERROR_INVALID_NAME, L"B7", L""},
      {L"archive_name_stream", 112, ERROR_INVALID_NAME, L"", L""},
      {L"empty_hides_archive", 112, ERROR_FILE_NOT_FOUND, L"", L"BL"},
      {L"none", 112, ERROR_FILE_NOT_FOUND, L"", L""},
      {L"archive_only", 115, ERROR_FILE_NOT_FOUND, L"B7", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.installer));
    ScratchDir work(L"unpack");
    Unpacked out;
    Unpack(c.installer, work.path(), out);
    EXPECT_EQ(c.exit_code, out.result.exit_code);
    EXPECT_EQ(c.extra_code, out.result.extra_code);
    EXPECT_STREQ(c.archive_type, out.archive_type.Get());
    EXPECT_STREQ(c.setup_type, out.setup_type.Get());
    EXPECT_STREQ(L"", out.archive_path.Get());
    EXPECT_STREQ(L"", out.setup_path.Get());
    EXPECT_TRUE(ListDirectory(work.path()).empty());
  }
}

// A directory below the scratch folder whose path, backslash included, is `length` long.
std::wstring DeepDirectory(const ScratchDir& scratch, size_t length) {
  std::wstring path = scratch.path();
  const size_t missing = length - path.size() - 1;
  path += std::wstring(missing, L'd') + L"\\";
  EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << GetLastError();
  return path;
}

TEST(UnpackPayload, FailuresAfterTheScanLeaveTheOutputsDescribed) {
  struct Case {
    const char* label;
    const wchar_t* installer;
    // Makes the work directory inside the scratch folder and returns its path.
    std::function<std::wstring(const ScratchDir&)> work_directory;
    DWORD exit_code;
    DWORD extra_code;
    const wchar_t* archive_path;  // relative to the work directory; null: empty
    const wchar_t* setup_path;    // the same
    std::vector<std::wstring> left;
  } cases[] = {
      {"archive path one past the limit", L"built",
       [](const ScratchDir& s) { return DeepDirectory(s, 260 - 16); }, 108, 0, L"", nullptr, {}},
      {"archive name of 259 characters", L"name_259",
       [](const ScratchDir& s) { return s.path(); }, 108, 0, L"", nullptr, {}},
      {"setup path too long", L"long_setup_name",
       [](const ScratchDir& s) { return s.path(); }, 108, 0, L"TAMREL.PACKED.7Z", L"",
       {L"TAMREL.PACKED.7Z"}},
      // setup.exe is longer than the cabinet's own name "SETUP".
      {"expanded path too long", L"short_names",
       [](const ScratchDir& s) { return DeepDirectory(s, 260 - 7); }, 108, 0, L"TAMREL", L"SETUP",
       {L"SETUP", L"TAMREL"}},
      {"archive path at the limit", L"short_names",
       [](const ScratchDir& s) { return DeepDirectory(s, 260 - 10); }, 0, 0, L"TAMREL",
       L"setup.exe", {L"TAMREL", L"setup.exe"}},
      {"work directory missing", L"built",
       [](const ScratchDir& s) { return s / L"missing\\"; }, 112, ERROR_PATH_NOT_FOUND,
       L"TAMREL.PACKED.7Z", nullptr, {}},
      {"setup cannot be written", L"built",
       [](const ScratchDir& s) {
         CreateDirectoryW((s / L"SETUP.EX_").c_str(), nullptr);
         return s.path();
       },
       116, ERROR_ACCESS_DENIED, L"TAMREL.PACKED.7Z", L"SETUP.EX_",
       {L"SETUP.EX_", L"TAMREL.PACKED.7Z"}},
      {"uncompressed setup cannot be written", L"bn_setup",
       [](const ScratchDir& s) {
         CreateDirectoryW((s / L"setup.exe").c_str(), nullptr);
         return s.path();
       },
       116, ERROR_ACCESS_DENIED, L"TAMREL.PACKED.7Z", L"setup.exe",
       {L"TAMREL.PACKED.7Z", L"setup.exe"}},
      // The compressed file is deleted and setup_path names the setup.exe that is not there.
      {"not a cabinet", L"bad_cabinet", [](const ScratchDir& s) { return s.path(); }, 115, 0,
       L"TAMREL.PACKED.7Z", L"setup.exe", {L"TAMREL.PACKED.7Z"}},
      {"setup.exe cannot be created", L"built",
       [](const ScratchDir& s) {
         CreateDirectoryW((s / L"setup.exe").c_str(), nullptr);
         return s.path();
       },
       115, 0, L"TAMREL.PACKED.7Z", L"setup.exe", {L"TAMREL.PACKED.7Z", L"setup.exe"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch(L"unpack");
    const std::wstring work = c.work_directory(scratch);
    Unpacked out;
    Unpack(c.installer, work, out);
    EXPECT_EQ(c.exit_code, out.result.exit_code);
    EXPECT_EQ(c.extra_code, out.result.extra_code);
    // A path that overflowed holds the work directory: the append left it as it was.
    EXPECT_EQ(work + c.archive_path, out.archive_path.Get());
    EXPECT_EQ(c.setup_path == nullptr ? L"" : work + c.setup_path, out.setup_path.Get());
    if (PathExists(work)) {
      EXPECT_EQ(c.left, ListDirectory(work));
    }
  }
}

// A resource that cannot be found, sized, loaded or locked ends the scan of its type silently, and
// so does an integer identifier.
HRSRC WINAPI FindNothing(HMODULE, LPCWSTR, LPCWSTR) {
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}
DWORD WINAPI SizeNothing(HMODULE, HRSRC) { return 0; }
HGLOBAL WINAPI LoadNothing(HMODULE, HRSRC) { return nullptr; }
LPVOID WINAPI LockNothing(HGLOBAL) { return nullptr; }
// Integer identifiers come after the named resources of a type; one met first ends the scan too.
BOOL WINAPI EnumIntegerFirst(HMODULE module, LPCWSTR type, ENUMRESNAMEPROCW visit,
                             LONG_PTR parameter) {
  if (!visit(module, type, MAKEINTRESOURCEW(1), parameter)) return FALSE;
  return EnumResourceNamesW(module, type, visit, parameter);
}

TEST(UnpackPayload, UnusableResourcesCountAsMissing) {
  struct Case {
    const char* label;
    std::function<void(UnpackApi&)> fail;
  } cases[] = {
      {"find", [](UnpackApi& api) { api.FindResourceW = FindNothing; }},
      {"size", [](UnpackApi& api) { api.SizeofResource = SizeNothing; }},
      {"load", [](UnpackApi& api) { api.LoadResource = LoadNothing; }},
      {"lock", [](UnpackApi& api) { api.LockResource = LockNothing; }},
      {"integer id", [](UnpackApi& api) { api.EnumResourceNamesW = EnumIntegerFirst; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir work(L"unpack");
    UnpackApi api;
    c.fail(api);
    Unpacked out;
    Unpack(L"built", work.path(), out, api);
    EXPECT_EQ(112u, out.result.exit_code);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), out.result.extra_code);
    EXPECT_TRUE(ListDirectory(work.path()).empty());
  }
}

}  // namespace
