// The release form of an installer, signed and branded by the packer at build time, as a user's
// machine meets it: Windows' own readers find the signature, the version block and the icon, and
// the signed stub runs like any other installer.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::ListDirectory;
using testing_support::ReadFileBytes;
using testing_support::RegistryString;
using testing_support::RunCommand;
using testing_support::ScopedEnvironment;
using testing_support::ScopedRegistryValue;
using testing_support::ScratchDir;
using testing_support::SetupRun;
using testing_support::TestDirectory;
using testing_support::WriteFileBytes;

const int kIconGroup = 107;

std::wstring Installer(const wchar_t* name) {
  return TestDirectory() + L"installers\\" + name + L".exe";
}

LONG VerifySignature(const std::wstring& path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

TEST(SignedInstaller, WindowsFindsTheSignatureAndNoticesAChangedByte) {
  ScratchDir scratch(L"packer_signature");
  std::string signed_bytes;
  ASSERT_TRUE(ReadFileBytes(Installer(L"packer_signed"), &signed_bytes));
  // One bit of the archive resource (found by the 7z signature), as a damaged download has it.
  const size_t archive = signed_bytes.find("7z\xBC\xAF\x27\x1C");
  ASSERT_NE(std::string::npos, archive);
  std::string tampered = signed_bytes;
  tampered[archive + 40] ^= 1;
  ASSERT_TRUE(WriteFileBytes(scratch / L"tampered.exe", tampered));

  // The throwaway certificate chains to no trusted root: Windows says so (Wine 8 does not check
  // the chain and accepts it), but either way the signature was found and its digest matched.
  struct Case {
    const char* label; std::wstring path; std::vector<LONG> accepted;
  } cases[] = {
      {"signed", Installer(L"packer_signed"),
       {ERROR_SUCCESS, CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING}},
      {"one bit changed", scratch / L"tampered.exe", {TRUST_E_BAD_DIGEST}},
      {"not signed", Installer(L"packer_unsigned"), {TRUST_E_NOSIGNATURE}},
  };
  for (const Case& c : cases) {
    const LONG result = VerifySignature(c.path);
    EXPECT_NE(c.accepted.end(), std::find(c.accepted.begin(), c.accepted.end(), result))
        << c.label << ": 0x" << std::hex << static_cast<unsigned long>(result);
  }
}

TEST(SignedInstaller, WindowsReadsTheBranding) {
  const std::wstring path = Installer(L"packer_signed");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_NE(0u, size);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  const struct {
    const wchar_t* key; const wchar_t* value;
  } strings[] = {
      {L"ProductName", L"Kestrel D\u00e9mo Studio"},
      {L"FileDescription", L"Kestrel D\u00e9mo Studio"},
      {L"CompanyName", L"Kestrel Works"}, {L"LegalCopyright", L"Copyright (C) Kestrel Works"},
      {L"ProductVersion", L"4.2.1"}, {L"FileVersion", L"4.2.1"},
  };
  for (const auto& s : strings) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.key;
    ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                               &length)) << testing_support::Narrow(s.key);
    EXPECT_EQ(std::wstring(s.value), std::wstring(value)) << testing_support::Narrow(s.key);
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(MAKELONG(2, 4), fixed->dwProductVersionMS);
  EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionLS);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

  // Every size of the product icon is the image Windows picks for that size from group 107, and
  // it makes an icon of that size.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(nullptr, module);
  HRSRC group_info = FindResourceW(module, MAKEINTRESOURCEW(kIconGroup), RT_GROUP_ICON);
  ASSERT_NE(nullptr, group_info);
  BYTE* group = static_cast<BYTE*>(LockResource(LoadResource(module, group_info)));
  // The directory's third word counts its images: the product icon's four, not the built-in ten.
  EXPECT_EQ(4, reinterpret_cast<const WORD*>(group)[2]);
  for (int pixels : {16, 32, 48, 256}) {
    const int id = LookupIconIdFromDirectoryEx(group, TRUE, pixels, pixels, LR_DEFAULTCOLOR);
    HRSRC image_info = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
    ASSERT_NE(nullptr, image_info) << pixels;
    HICON icon = CreateIconFromResourceEx(
        static_cast<BYTE*>(LockResource(LoadResource(module, image_info))),
        SizeofResource(module, image_info), TRUE, 0x00030000, 0, 0, LR_DEFAULTCOLOR);
    ASSERT_NE(nullptr, icon) << pixels;
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap = {};
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    EXPECT_EQ(pixels, bitmap.bmWidth) << pixels;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  FreeLibrary(module);
}

TEST(SignedInstaller, RunsLikeAnyOtherInstaller) {
  ScratchDir here(L"packer_run");
  ScratchDir outside(L"packer_report");
  const std::wstring report = outside / L"report.txt";
  ScopedEnvironment report_variable(L"FAKE_SETUP_REPORT", report.c_str());
  ScopedEnvironment machine(L"ZephonUpdateIsMachine", nullptr);
  ScopedRegistryValue cleanup_on(HKEY_CURRENT_USER, 0, L"TamrelInstallerCleanup", REG_SZ,
                                 RegistryString(L"1"));
  const std::wstring stub = here / L"installer.exe";
  ASSERT_TRUE(CopyFileW(Installer(L"packer_signed").c_str(), stub.c_str(), FALSE));

  for (const wchar_t* code : {L"0", L"7", L"0xC0000005"}) {
    const std::string label = testing_support::Narrow(code);
    ScopedEnvironment exit_code(L"FAKE_SETUP_EXIT_CODE", code);
    DeleteFileW(report.c_str());
    DWORD start_error = 0;
    EXPECT_EQ(wcstoul(code, nullptr, 0), RunCommand(L"\"" + stub + L"\" a \"b c\"", &start_error))
        << label;
    EXPECT_EQ(0u, start_error) << label;
    const std::vector<SetupRun> runs = testing_support::ReadSetupReport(report);
    ASSERT_EQ(1u, runs.size()) << label;
    const std::wstring& work = runs[0].work_directory;
    EXPECT_EQ(0u, work.find(here.path())) << label;
    EXPECT_EQ(L"\"" + work + L"setup.exe\" --install-archive=\"" + work +
                  L"TAMREL.PACKED.7Z\" a \"b c\"",
              runs[0].command_line) << label;
    EXPECT_EQ((std::vector<std::wstring>{L"installer.exe"}), ListDirectory(here.path())) << label;
  }
}

}  // namespace
