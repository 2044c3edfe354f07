// Creates the randomly named work directory beside the stub, protected by an access-control list
// when the volume keeps one.
#pragma once

#include <windows.h>
#include <sddl.h>

#include "driver/exit_codes.h"
#include "driver/system_library.h"
#include "support/wide_string.h"
#include "work_dir/work_directory_text.h"

// The system's random generator, exported by advapi32 under this name (documented as
// RtlGenRandom); declared here rather than through <ntsecapi.h>, which brings in far more.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// The platform calls this subsystem makes, so that tests can replace any of them.
struct WorkDirApi {
  // Null: the system's, looked up through `library` once per call of CreateWorkDirectory rather
  // than imported (see FindRandomGenerator).
  decltype(&::SystemFunction036) SystemFunction036 = nullptr;
  SystemLibraryApi library;
  decltype(&::CreateDirectoryW) CreateDirectoryW = ::CreateDirectoryW;
  decltype(&::GetVolumePathNameW) GetVolumePathNameW = ::GetVolumePathNameW;
  decltype(&::GetVolumeInformationW) GetVolumeInformationW = ::GetVolumeInformationW;
  decltype(&::GetCurrentProcess) GetCurrentProcess = ::GetCurrentProcess;
  decltype(&::OpenProcessToken) OpenProcessToken = ::OpenProcessToken;
  decltype(&::GetTokenInformation) GetTokenInformation = ::GetTokenInformation;
  decltype(&::LocalAlloc) LocalAlloc = ::LocalAlloc;
  decltype(&::LocalFree) LocalFree = ::LocalFree;
  decltype(&::ConvertSidToStringSidW) ConvertSidToStringSidW = ::ConvertSidToStringSidW;
  decltype(&::ConvertStringSecurityDescriptorToSecurityDescriptorW)
      ConvertStringSecurityDescriptorToSecurityDescriptorW =
          ::ConvertStringSecurityDescriptorToSecurityDescriptorW;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
};

// Writes the result on every path and returns true exactly when it is success; the buffer then
// holds the new directory's path with a trailing backslash. On failure nothing was created:
// {108, 0} when the base directory leaves no room for the name (no system call made then),
// {117, error} when the access-control list cannot be built, {109, 0} after ten failed attempts
// (the buffer then holds the last name tried, without backslash).
bool CreateWorkDirectory(const wchar_t* base_directory, PathString& work_directory,
                         ExitResult* result, const WorkDirApi& api = WorkDirApi());

// Sets *descriptor to null, then to the descriptor the work directory gets when the volume of
// the base directory keeps persistent access-control lists. True with null means default
// security (also when the volume cannot be queried). The caller releases a descriptor with
// LocalFree. False on failure, the detail in the last-error value.
bool GetWorkDirectorySecurityDescriptor(const wchar_t* base_directory,
                                        PSECURITY_DESCRIPTOR* descriptor,
                                        const WorkDirApi& api = WorkDirApi());

// The string form of the process token's default owner SID, which the caller releases with
// LocalFree. False, with *sid_string null and the detail in the last-error value, on failure.
bool GetTokenOwnerSidString(wchar_t** sid_string, const WorkDirApi& api = WorkDirApi());
