// The packer's upper case against the system's own (RtlUpcaseUnicodeChar, what FindResourceW
// applies to the name it is given), and names beyond ASCII in a packed installer found the way a
// setup program would look for them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "testing/test_support.h"
#include "text.h"

namespace {

using testing_support::TestDirectory;

template <typename Function> Function NtdllFunction(const char* name) {
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

// Writes every unit and the system's upper case of it, one "XXXX YYYY" line each, after a line
// naming the system: the input make_upper_case_table.py turns into upper_case_table.h.
void WriteDump(const char* path, WCHAR(NTAPI* upcase)(WCHAR)) {
  FILE* out = std::fopen(path, "w");
  ASSERT_NE(nullptr, out) << path;
  const auto wine_version = NtdllFunction<const char*(CDECL*)()>("wine_get_version");
  if (wine_version != nullptr) {
    std::fprintf(out, "# Wine %s\n", wine_version());
  } else {
    OSVERSIONINFOW version = {sizeof(version)};
    NtdllFunction<LONG(NTAPI*)(OSVERSIONINFOW*)>("RtlGetVersion")(&version);
    std::fprintf(out, "# Windows %lu.%lu.%lu\n", version.dwMajorVersion, version.dwMinorVersion,
                 version.dwBuildNumber);
  }
  for (unsigned unit = 0; unit < 0x10000; ++unit) {
    std::fprintf(out, "%04X %04X\n", unit, static_cast<unsigned>(upcase(static_cast<WCHAR>(unit))));
  }
  ASSERT_EQ(0, std::fclose(out)) << path;
}

// With TAMREL_UPPER_CASE_DUMP naming a file (a Windows path), the system's table is also written
// there: see make_upper_case_table.py.
TEST(UpperCaseTable, IsTheSystemsForEveryUnit) {
  const auto upcase = NtdllFunction<WCHAR(NTAPI*)(WCHAR)>("RtlUpcaseUnicodeChar");
  ASSERT_NE(nullptr, upcase);
  if (const char* dump = std::getenv("TAMREL_UPPER_CASE_DUMP")) WriteDump(dump, upcase);
  int differences = 0;
  for (unsigned unit = 0; unit < 0x10000; ++unit) {
    const char16_t system = upcase(static_cast<WCHAR>(unit));
    const char16_t packer = pack::UpperCaseUnits(std::u16string(1, static_cast<char16_t>(unit)))[0];
    if (system != packer && ++differences <= 20) {
      ADD_FAILURE() << std::hex << "U+" << unit << ": the system gives U+"
                    << static_cast<unsigned>(system) << ", the packer U+"
                    << static_cast<unsigned>(packer);
    }
  }
  EXPECT_EQ(0, differences) << "units the packer upper-cases otherwise than the system";
}

BOOL CALLBACK ListType(HMODULE, LPWSTR type, LONG_PTR types) {
  if (!IS_INTRESOURCE(type)) reinterpret_cast<std::vector<std::wstring>*>(types)->push_back(type);
  return TRUE;
}

BOOL CALLBACK ListName(HMODULE module, LPCWSTR, LPWSTR name, LONG_PTR names) {
  return ListType(module, name, names);
}

// packer_names.exe holds these, each packed as typed here (tests.cmake): the system leaves the
// micro sign, the title-case letter and the dotless i as they are, and upper-cases the Greek
// letters with a subscript iota; the last is as long as a name may be (under Wine one unit more
// is no longer found as typed). Each must be found as typed and as EnumResourceNamesW lists it.
TEST(PackedResourceNames, AreFoundAsTypedAndAsListed) {
  const std::wstring path = TestDirectory() + L"installers\\packer_names.exe";
  const HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, module) << GetLastError();
  const wchar_t* type = L"d\u00F6nn\u00E9es";
  const std::wstring typed[] = {
      L"\u00FF\u00E9\u65E5\u672C", L"\u1F80-iota", L"\u00B5-micro", L"\u01C5-\u0131",
      L"\u1FB3\u1FC3\u1FF3", L"\u0430\u0440\u0445\u0438\u0432.7z",
      std::wstring(pack::kLongestResourceName, L'a'),
  };
  for (const std::wstring& name : typed) {
    EXPECT_NE(nullptr, FindResourceW(module, name.c_str(), type))
        << "as typed: " << testing::PrintToString(name.substr(0, 40));
  }
  // The type as EnumResourceTypesW lists it: the one string type beside the payload's two.
  std::vector<std::wstring> types;
  EXPECT_TRUE(EnumResourceTypesW(module, ListType, reinterpret_cast<LONG_PTR>(&types)));
  types.erase(std::remove_if(types.begin(), types.end(),
                             [](const std::wstring& t) { return t == L"B7" || t == L"BL"; }),
              types.end());
  ASSERT_EQ(1u, types.size());
  std::vector<std::wstring> listed;
  EXPECT_TRUE(
      EnumResourceNamesW(module, types[0].c_str(), ListName, reinterpret_cast<LONG_PTR>(&listed)));
  EXPECT_EQ(std::size(typed), listed.size());
  for (const std::wstring& name : listed) {
    EXPECT_NE(nullptr, FindResourceW(module, name.c_str(), types[0].c_str()))
        << "as listed: " << testing::PrintToString(name.substr(0, 40));
  }
  FreeLibrary(module);
}

}  // namespace
