// Where the stub's process looks for DLLs: only in the system directory, for every library it
// loads itself and, where the system allows, for every library the system loads on its behalf.
#pragma once

#include <windows.h>
#include <shellapi.h>

struct SystemLibraryApi {
  decltype(&::GetModuleHandleW) GetModuleHandleW = ::GetModuleHandleW;
  decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
  decltype(&::GetSystemDirectoryW) GetSystemDirectoryW = ::GetSystemDirectoryW;
  decltype(&::LoadLibraryExW) LoadLibraryExW = ::LoadLibraryExW;
  // Set by the run when RestrictDllSearchPath took effect: the system then has the
  // LOAD_LIBRARY_SEARCH_ flags too, and a library loaded here has its own dependencies searched
  // for in the system directory alone.
  bool search_restricted = false;
};

// Restricts the search of every later load in this process, the system's own delay loads
// included, to the system directory: no DLL is then taken from the stub's directory or the
// current one. SetDefaultDllDirectories is looked up at run time, never imported, since Windows
// Vista and Windows 7 without the update that added it lack it and would refuse to start the stub.
// False where it is missing or refused; nothing else changes then. Not inherited by the programs
// the stub starts.
bool RestrictDllSearchPath(const SystemLibraryApi& api = SystemLibraryApi());

// Loads the library at the full path `path` with the narrowest search for its dependencies that
// the system has: the system directory alone once the search is restricted, otherwise the
// library's own folder first (LOAD_WITH_ALTERED_SEARCH_PATH, which every supported version has,
// though its search goes on to the current directory).
HMODULE LoadLibraryByPath(const wchar_t* path, const SystemLibraryApi& api);

// Loads the system library `name` (a file name such as L"shell32.dll") by its full path in the
// system directory, as LoadLibraryByPath does. Null on failure, with the last-error value set:
// ERROR_FILENAME_EXCED_RANGE when the path does not fit in kMaxPath. `*unreported` (when given)
// tells whether the failure was the system's not reporting its directory: the call failed, or the
// directory alone does not fit.
HMODULE LoadSystemLibrary(const wchar_t* name, const SystemLibraryApi& api = SystemLibraryApi(),
                          bool* unreported = nullptr);

// The two calls below stand in for imports. The loader binds imported libraries, the libraries
// they need and the libraries their exports are forwarded to before the stub runs, searching the
// stub's own directory first for any that is not a known DLL; nothing can keep it from taking one
// planted there then. Looked up at run time, after RestrictDllSearchPath, they are found in the
// system directory.

// CommandLineToArgvW, taken from shell32.dll as LoadSystemLibrary loads it. Same contract;
// null with the last-error value set also when shell32.dll or the function cannot be had. The
// library stays loaded: the array it returns is released with LocalFree alone.
LPWSTR* SplitCommandLine(LPCWSTR command_line, int* count,
                         const SystemLibraryApi& api = SystemLibraryApi());

// The system's random generator, SystemFunction036 of ADVAPI32 (documented as RtlGenRandom), or
// null when it cannot be had. Windows 7 and later forward it to CRYPTBASE.dll, which is not a
// known DLL; that library is loaded first by LoadSystemLibrary, so that the forwarder finds it
// loaded even where the search cannot be restricted (Windows Vista has no CRYPTBASE.dll, and
// ADVAPI32 the generator itself). Each call loads it again: look the generator up once and keep it.
using RandomGeneratorFn = BOOLEAN(WINAPI*)(PVOID buffer, ULONG length);
RandomGeneratorFn FindRandomGenerator(const SystemLibraryApi& api = SystemLibraryApi());
