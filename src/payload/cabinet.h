// Expands the first file of a cabinet through the system's cabinet library, loaded at run time.
#pragma once

#include <windows.h>

#include "driver/system_library.h"
#include "payload/output_file.h"

struct CabinetApi {
  // cabinet.dll is loaded through this; the run sets it to its own (see DriverApi).
  SystemLibraryApi library;
  decltype(&::ExpandEnvironmentStringsW) ExpandEnvironmentStringsW = ::ExpandEnvironmentStringsW;
  // The library's entry points.
  decltype(&::GetProcAddress) GetProcAddress = ::GetProcAddress;
  decltype(&::GetProcessHeap) GetProcessHeap = ::GetProcessHeap;
  decltype(&::HeapAlloc) HeapAlloc = ::HeapAlloc;
  decltype(&::HeapFree) HeapFree = ::HeapFree;
  decltype(&::CreateFileW) CreateFileW = ::CreateFileW;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::SetFilePointer) SetFilePointer = ::SetFilePointer;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetFileSizeEx) GetFileSizeEx = ::GetFileSizeEx;
  decltype(&::FlushFileBuffers) FlushFileBuffers = ::FlushFileBuffers;
  decltype(&::DosDateTimeToFileTime) DosDateTimeToFileTime = ::DosDateTimeToFileTime;
  decltype(&::LocalFileTimeToFileTime) LocalFileTimeToFileTime = ::LocalFileTimeToFileTime;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle =
      ::SetFileInformationByHandle;
  // The expanded file's own open, duplicate, mark and close.
  OutputFileApi output_file;
};

// Writes the first file that the cabinet at `source_path` (a full path of any length up to
// kMaxPath, in any characters) holds, whatever its stored name, to `destination_path`, with the
// stored date as its creation time and the stored read-only, hidden, system and archive
// attributes. True only when every byte the cabinet declares for that file reached the
// destination and the library ended without error (or with the stop this code asked for); on
// false no destination file remains once the library has closed its handles, and the last-error
// value is undefined.
//
// The library is loaded on first use and stays loaded for the life of the process; its entry points
// are looked up on every call. Not to be called on two threads at once.
bool ExpandCabinet(const wchar_t* source_path, const wchar_t* destination_path,
                   const CabinetApi& api = CabinetApi());
