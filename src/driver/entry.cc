// The image's entry point: no runtime start-up, out through ExitProcess.
#include <windows.h>

#include "driver/run_installer.h"

// The linker places this at the image's base address, which is also its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

extern "C" void __stdcall StubEntry() {
  const ExitResult result = RunInstaller(reinterpret_cast<HMODULE>(&__ImageBase));
  ::ExitProcess(result.exit_code);
}
