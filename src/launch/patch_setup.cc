#include "launch/patch_setup.h"

#include "launch/command_line.h"
#include "launch/registry_string.h"
#include "support/wide_string.h"

namespace {

const wchar_t kProductKey[] = L"Software\\Ostrevan";
const wchar_t kUninstallValue[] = L"UninstallString";

}  // namespace

LONG OpenProductKey(RegistryKeyHolder& holder, HKEY root, REGSAM access) {
  holder.Reset();
  // Opened into a local so that a failing call can leave nothing behind in the holder.
  HKEY key = nullptr;
  const LONG status =
      holder.api().RegOpenKeyExW(root, kProductKey, 0, access | KEY_WOW64_32KEY, &key);
  if (status == ERROR_SUCCESS) holder.Reset(key);
  return status;
}

LONG ReadStringValue(RegistryKeyHolder& holder, const wchar_t* value_name, wchar_t* buffer,
                     DWORD capacity) {
  DWORD type = REG_NONE;
  DWORD size = capacity * sizeof(wchar_t);
  LONG status = holder.api().RegQueryValueExW(holder.Get(), value_name, nullptr, &type,
                                              reinterpret_cast<BYTE*>(buffer), &size);
  if (status == ERROR_SUCCESS) status = TerminateStringValue(type, size, buffer, capacity);
  if (status != ERROR_SUCCESS && capacity > 0) buffer[0] = 0;
  return status;
}

void CloseKey(RegistryKeyHolder& holder) { holder.Reset(); }

ExitResult GetPreviousSetupPath(bool is_system_level, const wchar_t* previous_version,
                                wchar_t* buffer, DWORD capacity, const RegistryApi& api) {
  RegistryKeyHolder holder(api);
  const HKEY root = is_system_level ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  LONG status = OpenProductKey(holder, root, KEY_QUERY_VALUE);
  if (status == ERROR_SUCCESS) status = ReadStringValue(holder, kUninstallValue, buffer, capacity);
  CloseKey(holder);
  if (status != ERROR_SUCCESS) return {UNABLE_TO_FIND_REGISTRY_KEY, static_cast<DWORD>(status)};

  // The version may stand anywhere in the command, typically as a folder of the installation.
  if (SearchStringI(buffer, previous_version) == nullptr) {
    return {PATCH_NOT_FOR_INSTALLED_VERSION, 0};
  }
  StripEnclosingQuotes(buffer, capacity);
  return Success();
}

ExitResult PatchSetup(const Configuration& configuration, const wchar_t* patch_path,
                      const wchar_t* new_setup_path, const PatchApi& api) {
  PathString previous_setup;
  ExitResult result = GetPreviousSetupPath(configuration.is_system_level,
                                           configuration.previous_version, previous_setup.Get(),
                                           kMaxPath, api.registry);
  if (result.exit_code != SUCCESS_EXIT_CODE) return result;

  CommandLineString command_line;
  if (!BuildPatchCommandLine(previous_setup.Get(), patch_path, new_setup_path, command_line)) {
    return {COMMAND_STRING_OVERFLOW, 0};
  }
  AppendCommandLineFlags(configuration.command_line, command_line);
  result = RunProcessAndWait(previous_setup.Get(), command_line, PATCH_SETUP_FILE_NOT_FOUND,
                             PATCH_SETUP_PATH_NOT_FOUND, PATCH_SETUP_LAUNCH_FAILED, api.process);
  // Whatever the previous program did with it, the patch has served: it is not kept around.
  api.DeleteWithRetry(patch_path, DeleteApi());
  return result;
}
