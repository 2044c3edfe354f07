// The run sequence: every step in its fixed order, the first failure's result kept.
#pragma once

#include <windows.h>

#include "cleanup/delete.h"
#include "driver/configuration.h"
#include "driver/exit_codes.h"
#include "driver/system_library.h"
#include "payload/unpack.h"
#include "work_dir/work_directory.h"

// The platform calls of the run sequence and the seams of the steps it hands them to.
struct DriverApi {
  decltype(&::GetModuleFileNameW) GetModuleFileNameW = ::GetModuleFileNameW;
  decltype(&::SetProcessWorkingSetSize) SetProcessWorkingSetSize = ::SetProcessWorkingSetSize;
  ConfigApi config;
  // Every library of the run is loaded through this one: the run puts it, with the outcome of
  // the search restriction, in place of the steps' own `library` entries.
  SystemLibraryApi library;
  WorkDirApi work_dir;
  UnpackApi unpack;
  // The cleanup after the run.
  DeleteApi deletion;
};

// Restricts the process's DLL search to the system directory first, before anything is read.
ExitResult RunInstaller(HMODULE module, const DriverApi& api = DriverApi());
