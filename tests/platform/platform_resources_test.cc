// The resource enumeration the payload scan relies on, on an image whose payload types hold
// integer ids beside named entries (resource_image.rc).
#include <gtest/gtest.h>

#include <string>

#include "payload/unpack.h"
#include "testing/test_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::TestDirectory;

std::string g_seen;
int g_visits_before_stop = 0;  // 0: never stop

BOOL CALLBACK Collect(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR) {
  if (!g_seen.empty()) g_seen += " ";
  g_seen += IS_INTRESOURCE(name)
                ? "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name))
                : testing_support::Narrow(name);
  return --g_visits_before_stop != 0;
}

TEST(ResourcesUnderWine, NamedEntriesComeFirstAndFalseEndsTheScan) {
  const HMODULE image =
      LoadLibraryExW((TestDirectory() + L"platform_resource_image.exe").c_str(), nullptr,
                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, image);
  struct Case { const wchar_t* type; int stop_after; BOOL finished; const char* seen; } cases[] = {
      // Declared BETA, 5, ALPHA, 3: names in sorted order, then the ids.
      {L"ZZ", 0, TRUE, "ALPHA BETA #3 #5"},
      {L"ZZ", 1, FALSE, "ALPHA"},
      {L"ZZ", 3, FALSE, "ALPHA BETA #3"},
      {L"B8", 0, FALSE, ""},  // a type the image does not have
  };
  for (const Case& c : cases) {
    g_seen.clear();
    g_visits_before_stop = c.stop_after;
    EXPECT_EQ(c.finished, EnumResourceNamesW(image, c.type, Collect, 0)) << c.stop_after;
    EXPECT_EQ(c.seen, g_seen) << c.stop_after;
  }

  // "TAMREL.X" is stored empty in German (1031), listed first, and whole in U.S. English:
  // FindResourceW takes the thread's language, not the first, so that a German machine would
  // find no archive.
  const LCID locale = GetThreadLocale();
  for (const LCID language : {0x407, 0x409}) {
    ScratchDir work(L"platform_resources");
    PathString setup_path, archive_path;
    TypeTag setup_type, archive_type;
    EXPECT_TRUE(SetThreadLocale(language));
    const ExitResult result = UnpackPayload(image, work.path().c_str(), setup_path, setup_type,
                                            archive_path, archive_type);
    SetThreadLocale(locale);
    if (language == 0x407) {
      EXPECT_EQ(112u, result.exit_code);
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), result.extra_code);
      EXPECT_TRUE(ListDirectory(work.path()).empty());
      continue;
    }
    // The scan ends each type at its first integer id, after the named payload was seen.
    EXPECT_EQ(0u, result.exit_code);
    EXPECT_STREQ(L"B7", archive_type.Get());
    EXPECT_STREQ(L"BN", setup_type.Get());
    EXPECT_EQ((std::vector<std::wstring>{L"TAMREL.X", L"setup.exe"}), ListDirectory(work.path()));
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(work / L"TAMREL.X", &bytes) && bytes == "archive bytes");
    EXPECT_TRUE(ReadFileBytes(work / L"setup.exe", &bytes) && bytes == "setup bytes");
  }
  FreeLibrary(image);
}

}  // namespace
