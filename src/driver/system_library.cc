#include "driver/system_library.h"

#include "support/wide_string.h"

namespace {

// A function pointer of one type from GetProcAddress's, through the one function-pointer type
// that converts to any other without a warning.
template <typename Fn>
Fn CastProc(FARPROC proc) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

bool RestrictDllSearchPath(const SystemLibraryApi& api) {
  // Always loaded in every process, so no search is involved in finding it.
  const HMODULE kernel32 = api.GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  const auto set_default_directories = CastProc<decltype(&::SetDefaultDllDirectories)>(
      api.GetProcAddress(kernel32, "SetDefaultDllDirectories"));
  if (set_default_directories == nullptr) return false;
  return set_default_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

HMODULE LoadLibraryByPath(const wchar_t* path, const SystemLibraryApi& api) {
  // The two kinds of flag cannot be combined, and the first exists only where the restriction
  // does.
  return api.LoadLibraryExW(path, nullptr,
                            api.search_restricted ? LOAD_LIBRARY_SEARCH_SYSTEM32
                                                  : LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(const wchar_t* name, const SystemLibraryApi& api, bool* unreported) {
  PathString path;
  // The length without the terminator; at least the buffer's size means it did not fit.
  const UINT length = api.GetSystemDirectoryW(path.Get(), kMaxPath);
  const bool reported = length != 0 && length < kMaxPath;
  if (unreported != nullptr) *unreported = !reported;
  if (length == 0) return nullptr;
  if (!reported || (path[length - 1] != L'\\' && !path.Append(L"\\")) || !path.Append(name)) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return LoadLibraryByPath(path.Get(), api);
}

RandomGeneratorFn FindRandomGenerator(const SystemLibraryApi& api) {
  // Where it is missing the load fails, and nothing else changes.
  LoadSystemLibrary(L"cryptbase.dll", api);
  // Imported by the stub for its registry and token calls, so always loaded.
  const HMODULE advapi32 = api.GetModuleHandleW(L"advapi32.dll");
  if (advapi32 == nullptr) return nullptr;
  return CastProc<RandomGeneratorFn>(api.GetProcAddress(advapi32, "SystemFunction036"));
}

LPWSTR* SplitCommandLine(LPCWSTR command_line, int* count, const SystemLibraryApi& api) {
  const HMODULE shell32 = LoadSystemLibrary(L"shell32.dll", api);
  if (shell32 == nullptr) return nullptr;
  const auto split = CastProc<decltype(&::CommandLineToArgvW)>(
      api.GetProcAddress(shell32, "CommandLineToArgvW"));
  if (split == nullptr) return nullptr;
  return split(command_line, count);
}
