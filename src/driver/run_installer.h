// The run sequence: every step in its fixed order, the first failure's result kept.
#pragma once

#include <windows.h>

#include "driver/configuration.h"
#include "driver/exit_codes.h"

struct DriverApi {
  decltype(&::GetModuleFileNameW) GetModuleFileNameW = ::GetModuleFileNameW;
  decltype(&::SetProcessWorkingSetSize) SetProcessWorkingSetSize = ::SetProcessWorkingSetSize;
  ConfigApi config;
};

ExitResult RunInstaller(HMODULE module, const DriverApi& api = DriverApi());
