#include <algorithm>

#include "testing/test_support.h"

#include <aclapi.h>
#include <sddl.h>

namespace testing_support {

std::wstring TestDirectory() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer, n);
  return path.substr(0, path.rfind(L'\\') + 1);
}

void RemoveTree(const std::wstring& path) {
  std::wstring dir = path;
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    for (const std::wstring& name : ListDirectory(dir)) RemoveTree(dir + L"\\" + name);
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(dir.c_str());
  } else {
    SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(dir.c_str());
  }
}

ScratchDir::ScratchDir(const std::wstring& name) {
  std::wstring root = TestDirectory() + L"scratch\\";
  CreateDirectoryW(root.c_str(), nullptr);
  path_ = root + name + L"\\";
  RemoveTree(path_);
  CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = bytes.empty() ||
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes->append(chunk, read);
  CloseHandle(file);
  return true;
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsWorkDirectoryName(const std::wstring& name) {
  return name.size() == 12 && name.compare(0, 3, L"TM_") == 0 &&
         name.compare(8, 4, L".tmp") == 0 &&
         name.find_first_not_of(L"0123456789ABCDEF", 3) == 8;
}

DWORD RunCommand(const std::wstring& command_line, DWORD* start_error,
                 const wchar_t* current_directory) {
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      current_directory, &startup, &process)) {
    if (start_error) *start_error = GetLastError();
    return ~0u;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = ~0u;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  if (start_error) *start_error = 0;
  return code;
}

LONG SetRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type,
                      const void* data, DWORD size, REGSAM view) {
  HKEY opened = nullptr;
  LONG status = RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &opened,
                                nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(opened, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(opened);
  return status;
}

void DeleteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_SET_VALUE | view, &opened) != ERROR_SUCCESS) return;
  RegDeleteValueW(opened, name);
  RegCloseKey(opened);
}

void DeleteRegistryKey(HKEY root, const wchar_t* key, REGSAM view) {
  RegDeleteKeyExW(root, key, view, 0);
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

bool DaclSidsOnDisk(const std::wstring& path, std::vector<std::wstring>* sids) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool read = dacl != nullptr;
  for (DWORD i = 0; read && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace))) sids->push_back(SidText(&ace->SidStart));
  }
  LocalFree(descriptor);
  return read;
}

std::string Narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring Widen(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

}  // namespace testing_support
