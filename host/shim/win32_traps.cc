// The platform functions the shim declares, each stopping the program when called: host tests and
// fuzz targets run the stub's code only through fakes of their own. The last-error value is the
// exception, kept per thread as the platform keeps it, for code that saves and restores it.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

namespace {

[[noreturn]] void Unreplaced(const char* name) {
  fprintf(stderr, "host: %s was called through a seam entry no test replaced\n", name);
  abort();
}

}  // namespace

HANDLE WINAPI CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  Unreplaced("CreateFileW");
}
BOOL WINAPI SetFileInformationByHandle(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  Unreplaced("SetFileInformationByHandle");
}
BOOL WINAPI GetFileInformationByHandleEx(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  Unreplaced("GetFileInformationByHandleEx");
}
BOOL WINAPI CloseHandle(HANDLE) { Unreplaced("CloseHandle"); }
void WINAPI Sleep(DWORD) { Unreplaced("Sleep"); }

namespace {

thread_local DWORD last_error = 0;

}  // namespace

DWORD WINAPI GetLastError() { return last_error; }
void WINAPI SetLastError(DWORD error) { last_error = error; }
