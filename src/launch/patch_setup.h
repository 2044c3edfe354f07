// Finds the previous installation's setup program and has it rebuild setup.exe from a patch.
#pragma once

#include <windows.h>

#include "driver/configuration.h"
#include "driver/exit_codes.h"
#include "launch/launch_setup.h"

ExitResult PatchSetup(const Configuration& configuration, const wchar_t* patch_path,
                      const wchar_t* new_setup_path, const ProcessApi& api = ProcessApi());
