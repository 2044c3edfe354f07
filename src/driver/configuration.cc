#include "driver/configuration.h"

#include "launch/registry_string.h"
#include "support/scoped.h"
#include "support/wide_string.h"

namespace {

const wchar_t kProductKey[] = L"Software\\Ostrevan";
const wchar_t kCleanupValue[] = L"TamrelInstallerCleanup";
const wchar_t kSystemLevelVariable[] = L"ZephonUpdateIsMachine";

}  // namespace

bool ReadRegistryStringValue(HKEY root, const wchar_t* key_path, const wchar_t* value_name,
                             wchar_t* buffer, DWORD capacity, const ConfigApi& api) {
  ScopedRegKey key(api.RegCloseKey);
  // No WOW64 flag: the 64-bit process's own view is read.
  if (api.RegOpenKeyExW(root, key_path, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = capacity * 2;
  if (api.RegQueryValueExW(key.Get(), value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                           &size) != ERROR_SUCCESS) {
    return false;
  }
  // The same terminator rule as every registry string the stub reads; it also refuses a count
  // larger than the buffer rather than trusting it.
  return TerminateStringValue(type, size, buffer, capacity) == 0;
}

void Configuration::Clear() {
  if (argv != nullptr) {
    api_.LocalFree(argv);
    argv = nullptr;
  }
  command_line = nullptr;
  argc = 0;
  is_system_level = false;
  is_unsupported_mode = false;
  should_delete_extracted_files = true;
  previous_version = nullptr;
}

void Configuration::ReadPreviousVersion(HMODULE module) {
  HRSRC found = api_.FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (found == nullptr) return;
  HGLOBAL loaded = api_.LoadResource(module, found);
  if (loaded == nullptr) return;
  const DWORD size = api_.SizeofResource(module, found);
  if (size == 0 || size % 2 != 0) return;
  const wchar_t* data = static_cast<const wchar_t*>(api_.LockResource(loaded));
  if (data == nullptr) return;
  // Only a resource whose last wide character is zero is a string; it ends at its first zero.
  if (data[size / 2 - 1] != 0) return;
  previous_version = data;
}

bool Configuration::Initialize(HMODULE module) {
  Clear();
  ReadPreviousVersion(module);

  FixedString<2> cleanup;
  should_delete_extracted_files =
      !(ReadRegistryStringValue(HKEY_CURRENT_USER, kProductKey, kCleanupValue, cleanup.Get(), 2,
                                api_) &&
        cleanup[0] == L'0');

  return ParseCommandLine(api_.GetCommandLineW());
}

bool Configuration::ParseCommandLine(const wchar_t* line) {
  command_line = line;
  argv = api_.CommandLineToArgvW != nullptr ? api_.CommandLineToArgvW(line, &argc)
                                             : SplitCommandLine(line, &argc, api_.library);
  if (argv == nullptr) return false;

  // The program path (index 0) is never taken as a switch.
  for (int i = 1; i < argc; ++i) {
    if (::lstrcmpiW(argv[i], L"--system-level") == 0) {
      is_system_level = true;
    } else if (::lstrcmpiW(argv[i], L"--cleanup") == 0 ||
               ::lstrcmpiW(argv[i], L"--tamrel-frame") == 0) {
      is_unsupported_mode = true;
    }
  }

  if (!is_system_level) {
    // Only the exact value "1" counts: a longer value makes the call return the size it needs.
    FixedString<2> value;
    const DWORD n = api_.GetEnvironmentVariableW(kSystemLevelVariable, value.Get(), 2);
    is_system_level = (n == 1 && value[0] == L'1');
  }
  return true;
}
