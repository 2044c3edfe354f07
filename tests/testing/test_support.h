// Helpers shared by the test programs: scratch folders, files, the registry and child processes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/file_listing.h"

namespace testing_support {

// The folder that holds the running test program, with a trailing backslash.
std::wstring TestDirectory();

// A fresh, empty folder for one test below the test folder's "scratch" folder, removed again (with
// what the test left in it) when the object goes. Only files and folders the tests made are ever
// there: no test creates a link.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The folder, with a trailing backslash.
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

// Removes a folder tree made by a test. Refuses to touch anything that is a reparse point.
void RemoveTree(const std::wstring& path);

bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool ReadFileBytes(const std::wstring& path, std::string* bytes);
bool PathExists(const std::wstring& path);
// ListDirectory and ReadFileHead: testing/file_listing.h.

// "TM_" + five upper-case hexadecimal digits + ".tmp": the name the stub gives a work directory.
bool IsWorkDirectoryName(const std::wstring& name);

// Runs a command line, waits, and returns the full 32-bit exit code (or ~0 with the start error
// in *start_error when the start fails).
DWORD RunCommand(const std::wstring& command_line, DWORD* start_error = nullptr,
                 const wchar_t* current_directory = nullptr);

// The registry key of the product under HKCU, and its values, for tests that set them.
const wchar_t kProductKey[] = L"Software\\Ostrevan";
LONG SetRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, DWORD type,
                      const void* data, DWORD size, REGSAM view = 0);
void DeleteRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view = 0);
void DeleteRegistryKey(HKEY root, const wchar_t* key, REGSAM view = 0);

// The string form of a SID (S-1-5-...), or empty when it cannot be converted.
std::wstring SidText(PSID sid);
// The SID of every entry of the DACL the file system reports for the path; false when there is
// none or it cannot be read.
bool DaclSidsOnDisk(const std::wstring& path, std::vector<std::wstring>* sids);

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace testing_support
