// A DLL planted where the stub must not load anything from: beside it under a system library's
// name, or in its current directory. Loaded, it leaves "<its path>.loaded" and ends the process
// at once with exit code 0x0BADD11, whatever the process was doing.
#include <windows.h>

extern "C" BOOL WINAPI PlantedDllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8];
  const DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    lstrcpyW(path + n, L".loaded");
    const HANDLE marker =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  TerminateProcess(GetCurrentProcess(), 0x0BADD11);
  return FALSE;
}
