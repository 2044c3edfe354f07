#include "driver/run_installer.h"

#include "cleanup/delete.h"
#include "launch/launch_setup.h"
#include "launch/patch_setup.h"
#include "payload/unpack.h"
#include "support/wide_string.h"
#include "work_dir/work_directory.h"

namespace {

void TrimWorkingSet(const DriverApi& api) {
  // Hands the pages of the extracted payload back before setup runs; the result does not matter.
  api.SetProcessWorkingSetSize(::GetCurrentProcess(), static_cast<SIZE_T>(-1),
                               static_cast<SIZE_T>(-1));
}

// Fills `directory` with the stub's own directory, ending in a backslash.
ExitResult GetStubDirectory(HMODULE module, PathString& directory, const DriverApi& api) {
  const DWORD n = api.GetModuleFileNameW(module, directory.Get(), kMaxPath);
  // 0 is failure and kMaxPath means the path was cut short; both leave no usable directory.
  if (n == 0 || n >= kMaxPath) return {PATH_STRING_OVERFLOW, ::GetLastError()};
  wchar_t* name = const_cast<wchar_t*>(GetNameFromPathExt(directory.Get(), n));
  if (name == directory.Get()) return {PATH_STRING_OVERFLOW, ::GetLastError()};
  *name = 0;
  return Success();
}

ExitResult RunSteps(HMODULE module, const Configuration& configuration, const DriverApi& api) {
  if (configuration.is_unsupported_mode) return {UNSUPPORTED_OPTION, 0};

  // The stub's own path, cut to its directory, and later reused as the setup path.
  PathString setup_path;
  ExitResult result = GetStubDirectory(module, setup_path, api);
  if (result.exit_code != SUCCESS_EXIT_CODE) return result;

  PathString work_directory;
  if (!CreateWorkDirectory(setup_path.Get(), work_directory, &result, api.work_dir)) return result;

  PathString archive_path;
  TypeTag archive_type;
  TypeTag setup_type;
  setup_path.Clear();

  result = UnpackPayload(module, work_directory.Get(), setup_path, setup_type, archive_path,
                         archive_type, api.unpack);
  const bool compressed_archive = ::lstrcmpW(archive_type.Get(), L"B7") == 0;
  if (result.exit_code != SUCCESS_EXIT_CODE) {
    TrimWorkingSet(api);
  } else if (::lstrcmpW(setup_type.Get(), L"B7") != 0) {
    TrimWorkingSet(api);
    result = LaunchSetup(configuration, archive_path.Get(), setup_path.Get(), compressed_archive);
  } else {
    // The setup resource is a patch: the previous installation's setup program builds the new
    // setup.exe from it.
    PathString new_setup_path;
    if (!new_setup_path.Copy(work_directory.Get()) || !new_setup_path.Append(L"setup.exe")) {
      return {PATH_STRING_OVERFLOW, 0};
    }
    result = PatchSetup(configuration, setup_path.Get(), new_setup_path.Get());
    if (result.exit_code != SUCCESS_EXIT_CODE) {
      // Cleanup leaves the patch alone: it was deleted, or it stays for the user to look at.
      setup_path.Clear();
    } else {
      setup_path.Copy(new_setup_path.Get());
    }
    TrimWorkingSet(api);
    if (result.exit_code == SUCCESS_EXIT_CODE) {
      result = LaunchSetup(configuration, archive_path.Get(), setup_path.Get(), compressed_archive);
    }
  }

  if (configuration.should_delete_extracted_files) {
    DeleteExtractedFiles(archive_path.Get(), setup_path.Get(), work_directory.Get(), api.deletion);
  }
  return result;
}

}  // namespace

ExitResult RunInstaller(HMODULE module, const DriverApi& caller_api) {
  DriverApi api = caller_api;
  // Where the system lacks the call, nothing takes its place: the libraries the stub loads itself
  // are loaded by full path in any case.
  api.library.search_restricted = RestrictDllSearchPath(api.library);
  api.config.library = api.library;
  api.work_dir.library = api.library;
  api.unpack.cabinet.library = api.library;
  Configuration configuration(api.config);
  ExitResult result;
  if (!configuration.Initialize(module)) {
    result = {CONFIGURATION_FAILED, ::GetLastError()};
  } else {
    result = RunSteps(module, configuration, api);
  }
  configuration.Clear();
  return result;
}
