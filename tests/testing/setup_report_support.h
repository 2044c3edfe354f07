// What the test setup program (fake_setup.exe) recorded, and the environment and registry values
// the launch and end-to-end tests set around it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

// The test setup program beside the test programs.
std::wstring FakeSetupPath();

// One start of fake_setup.exe, as it recorded it.
struct SetupRun {
  std::wstring command_line;            // GetCommandLineW, raw
  std::wstring exe;                     // its own path
  std::wstring work_directory;          // with a trailing backslash
  std::vector<std::wstring> entries;    // the work directory's entries while it ran, sorted
  std::wstring archive;                 // "<size> <first bytes in hex>", "missing", or empty
};

// Every record in the report file, in the order of the starts; none when there is no file.
std::vector<SetupRun> ReadSetupReport(const std::wstring& path);

// Sets an environment variable (or removes it, for a null value) until the object goes, then
// restores what was there. Children started meanwhile inherit it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const wchar_t* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::wstring name_;
  std::wstring old_value_;
  bool had_value_;
};

// A registry value under the product key, set for one test and deleted afterwards, with the key
// too when the test created it. `view` is 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY. The first
// `count` bytes (all by default) are stored verbatim with the given type; what follows them in
// `bytes` is what the registry sees beyond the count.
class ScopedRegistryValue {
 public:
  ScopedRegistryValue(HKEY root, REGSAM view, const wchar_t* name, DWORD type,
                      const std::string& bytes, size_t count = std::string::npos);
  ~ScopedRegistryValue();
  ScopedRegistryValue(const ScopedRegistryValue&) = delete;
  ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;
  LONG status() const { return status_; }

 private:
  HKEY root_;
  REGSAM view_;
  std::wstring name_;
  bool key_existed_;
  LONG status_;
};

// The bytes of a REG_SZ holding `text` and its terminator.
std::string RegistryString(const std::wstring& text);

}  // namespace testing_support
