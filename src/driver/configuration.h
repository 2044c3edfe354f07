// How the stub was started: its command line, the environment's system-level flag, the registry's
// cleanup flag and the previous version carried in its own resources.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "driver/system_library.h"

// The platform calls Initialize makes, so that tests can replace any of them.
struct ConfigApi {
  decltype(&::FindResourceW) FindResourceW = ::FindResourceW;
  decltype(&::LoadResource) LoadResource = ::LoadResource;
  decltype(&::SizeofResource) SizeofResource = ::SizeofResource;
  decltype(&::LockResource) LockResource = ::LockResource;
  decltype(&::RegOpenKeyExW) RegOpenKeyExW = ::RegOpenKeyExW;
  decltype(&::RegQueryValueExW) RegQueryValueExW = ::RegQueryValueExW;
  decltype(&::RegCloseKey) RegCloseKey = ::RegCloseKey;
  decltype(&::GetCommandLineW) GetCommandLineW = ::GetCommandLineW;
  // Null: the system's, from shell32.dll loaded through `library` when the command line is split
  // (SplitCommandLine), never imported.
  decltype(&::CommandLineToArgvW) CommandLineToArgvW = nullptr;
  SystemLibraryApi library;
  decltype(&::GetEnvironmentVariableW) GetEnvironmentVariableW = ::GetEnvironmentVariableW;
  decltype(&::LocalFree) LocalFree = ::LocalFree;
};

class Configuration {
 public:
  explicit Configuration(const ConfigApi& api = ConfigApi()) : api_(api) {}
  ~Configuration() { Clear(); }
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  // False only when the command line cannot be split; the last-error value then says why.
  bool Initialize(HMODULE module);
  bool ParseCommandLine(const wchar_t* command_line);
  // Releases the argument array and restores every default.
  void Clear();

  wchar_t** argv = nullptr;                  // owned; one LocalFree block
  const wchar_t* command_line = nullptr;     // the process's, exactly as GetCommandLineW gave it
  int argc = 0;
  bool is_system_level = false;
  bool is_unsupported_mode = false;
  bool should_delete_extracted_files = true;
  const wchar_t* previous_version = nullptr;  // points into the locked resource data, or null

 private:
  void ReadPreviousVersion(HMODULE module);

  ConfigApi api_;
};

// Reads one REG_SZ value into a buffer of `capacity` wide characters and makes sure it is
// terminated. On false the buffer's contents are undefined.
bool ReadRegistryStringValue(HKEY root, const wchar_t* key_path, const wchar_t* value_name,
                             wchar_t* buffer, DWORD capacity, const ConfigApi& api = ConfigApi());
