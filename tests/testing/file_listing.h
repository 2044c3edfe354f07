// The entries of a folder and the first bytes of a file: for the test programs and for the fake
// setup program, which links nothing of the tests' support library.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace testing_support {

// The names in the folder (with or without its trailing backslash), sorted, without "." and "..";
// empty when it cannot be listed.
inline std::vector<std::wstring> ListDirectory(const std::wstring& path) {
  std::vector<std::wstring> names;
  std::wstring pattern = path;
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// The file's size and its first bytes, as many as it has up to head->size(); false when it
// cannot be opened for reading.
inline bool ReadFileHead(const std::wstring& path, std::string* head, long long* size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER length = {};
  GetFileSizeEx(file, &length);
  *size = length.QuadPart;
  DWORD read = 0;
  if (!ReadFile(file, &(*head)[0], static_cast<DWORD>(head->size()), &read, nullptr)) read = 0;
  head->resize(read);
  CloseHandle(file);
  return true;
}

}  // namespace testing_support
