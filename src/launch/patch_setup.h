// Finds the previous installation's setup program and has it rebuild setup.exe from a patch.
#pragma once

#include <windows.h>

#include "cleanup/delete.h"
#include "driver/configuration.h"
#include "driver/exit_codes.h"
#include "launch/launch_setup.h"
#include "support/scoped.h"

struct RegistryApi {
  decltype(&::RegOpenKeyExW) RegOpenKeyExW = ::RegOpenKeyExW;
  decltype(&::RegQueryValueExW) RegQueryValueExW = ::RegQueryValueExW;
  decltype(&::RegCloseKey) RegCloseKey = ::RegCloseKey;
};

// One open registry key or none; the key is closed through the seam it was opened with, at the
// latest when the holder goes.
class RegistryKeyHolder {
 public:
  explicit RegistryKeyHolder(const RegistryApi& api = RegistryApi())
      : api_(api), key_(api_.RegCloseKey) {}
  RegistryKeyHolder(const RegistryKeyHolder&) = delete;
  RegistryKeyHolder& operator=(const RegistryKeyHolder&) = delete;

  HKEY Get() const { return key_.Get(); }
  const RegistryApi& api() const { return api_; }
  void Reset(HKEY key = nullptr) { key_.Reset(key); }

 private:
  RegistryApi api_;
  ScopedRegKey key_;
};

// Closes any key the holder holds, then opens the product's key under `root` in the 32-bit
// registry view with `access`. Returns the registry's error code; on an error the holder is empty.
LONG OpenProductKey(RegistryKeyHolder& holder, HKEY root, REGSAM access);

// Reads a REG_SZ value of the held key into `buffer` (`capacity` wide characters) as a terminated
// string. Returns the registry's error code, ERROR_NOT_SUPPORTED for any other type (expandable
// strings included) or ERROR_MORE_DATA when the value and a terminator do not fit; on an error
// the buffer reads as the empty string.
LONG ReadStringValue(RegistryKeyHolder& holder, const wchar_t* value_name, wchar_t* buffer,
                     DWORD capacity);

// Closes the held key, if any, and empties the holder.
void CloseKey(RegistryKeyHolder& holder);

// The previous installation's setup program, from "UninstallString" under HKEY_LOCAL_MACHINE
// when system level, else under HKEY_CURRENT_USER (never both), without enclosing quotes.
// {110, registry error} when it cannot be read; {111, 0} when it does not contain
// `previous_version` (letters A-Z in any case; a null or empty version is always contained).
// On failure the buffer holds no usable path.
ExitResult GetPreviousSetupPath(bool is_system_level, const wchar_t* previous_version,
                                wchar_t* buffer, DWORD capacity,
                                const RegistryApi& api = RegistryApi());

struct PatchApi {
  ProcessApi process;
  RegistryApi registry;
  decltype(&::DeleteWithRetry) DeleteWithRetry = ::DeleteWithRetry;
};

// Runs the previous setup program with the patch and the path where it is to write the new
// setup.exe, plus the stub's own arguments, and returns its result as RunProcessAndWait gives it
// (codes 119, 120, 121). Once a start was attempted the patch is deleted, whatever came of it;
// when the lookup fails or the command line does not fit ({105, 0}) nothing is started and the
// patch stays. Success means only that the program exited with 0, not that it wrote the file.
ExitResult PatchSetup(const Configuration& configuration, const wchar_t* patch_path,
                      const wchar_t* new_setup_path, const PatchApi& api = PatchApi());
