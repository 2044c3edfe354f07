#include "work_dir/work_directory.h"

#include "support/scoped.h"

namespace {

// The generator's result decides whether its bytes are used. A failing generator may leave the
// buffer untouched or half written; the attempt's own fallback bytes stand in then, so the name
// is formed from defined bytes and the ten attempts still try ten different names. Zeroed bytes
// would instead pin every attempt, and every later run, to one name: a single directory of that
// name left behind by an earlier run would then stop the stub for good.
// A generator that cannot be had counts as one that fails.
void DrawRandomBytes(size_t attempt, unsigned char (&random)[kWorkDirectoryRandomBytes],
                     RandomGeneratorFn generate) {
  FallbackRandomBytes(attempt, random);
  if (generate == nullptr || !generate(random, kWorkDirectoryRandomBytes)) {
    FallbackRandomBytes(attempt, random);
  }
}

}  // namespace

bool GetTokenOwnerSidString(wchar_t** sid_string, const WorkDirApi& api) {
  *sid_string = nullptr;
  // Closed on every path after a successful open; the owners below keep the last-error value.
  ScopedKernelHandle token(api.CloseHandle);
  if (!api.OpenProcessToken(api.GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    return false;
  }
  DWORD size = 0;
  api.GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &size);
  if (size == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;

  ScopedLocal<HLOCAL> block(api.LocalAlloc(LMEM_ZEROINIT, size), api.LocalFree);
  if (!block.IsValid()) return false;
  if (!api.GetTokenInformation(token.Get(), TokenOwner, block.Get(), size, &size)) return false;
  // The owner SID points into the block, so it is converted before the block goes.
  const TOKEN_OWNER* owner = static_cast<const TOKEN_OWNER*>(block.Get());
  if (!api.ConvertSidToStringSidW(owner->Owner, sid_string)) {
    *sid_string = nullptr;
    return false;
  }
  return true;
}

bool GetWorkDirectorySecurityDescriptor(const wchar_t* base_directory,
                                        PSECURITY_DESCRIPTOR* descriptor, const WorkDirApi& api) {
  *descriptor = nullptr;
  // A volume that cannot be queried is treated as one without access-control lists: the
  // directory is still created, with default security.
  PathString volume;
  if (!api.GetVolumePathNameW(base_directory, volume.Get(), kMaxPath)) return true;
  DWORD flags = 0;
  if (!api.GetVolumeInformationW(volume.Get(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
    return true;
  }
  if ((flags & FILE_PERSISTENT_ACLS) == 0) return true;

  ScopedLocal<wchar_t*> owner_sid(api.LocalFree);
  if (!GetTokenOwnerSidString(owner_sid.Receive(), api)) return false;
  SddlString sddl;
  if (!ComposeWorkDirectorySddl(owner_sid.Get(), sddl)) {
    // No system call failed here, so the reason is set explicitly rather than left stale.
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  if (!api.ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.Get(), SDDL_REVISION_1,
                                                                descriptor, nullptr)) {
    *descriptor = nullptr;
    return false;
  }
  return true;
}

bool CreateWorkDirectory(const wchar_t* base_directory, PathString& work_directory,
                         ExitResult* result, const WorkDirApi& api) {
  *result = {PATH_STRING_OVERFLOW, 0};
  size_t prefix_length = 0;
  if (!StartWorkDirectoryPath(base_directory, work_directory, &prefix_length)) return false;

  // The volume is that of the base directory: the work directory does not exist yet.
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  if (!GetWorkDirectorySecurityDescriptor(base_directory, &attributes.lpSecurityDescriptor, api)) {
    *result = {UNABLE_TO_SET_DIRECTORY_ACL, ::GetLastError()};
    return false;
  }
  // Serves every attempt and is released after the last one, whatever its outcome.
  ScopedLocal<PSECURITY_DESCRIPTOR> descriptor(attributes.lpSecurityDescriptor, api.LocalFree);
  SECURITY_ATTRIBUTES* security = descriptor.IsValid() ? &attributes : nullptr;

  *result = {UNABLE_TO_GET_WORK_DIRECTORY, 0};
  // Found once for all the attempts: finding it loads a library.
  const RandomGeneratorFn generate =
      api.SystemFunction036 != nullptr ? api.SystemFunction036 : FindRandomGenerator(api.library);
  // Another process may take a name at the same moment; a fresh name is drawn at once, without
  // waiting. Every attempt rewrites the path from the prefix on, so each forms a whole new name.
  for (size_t attempt = 0; attempt < kWorkDirectoryAttempts; ++attempt) {
    unsigned char random[kWorkDirectoryRandomBytes];
    DrawRandomBytes(attempt, random, generate);
    FormWorkDirectoryName(work_directory, prefix_length, random);
    if (api.CreateDirectoryW(work_directory.Get(), security)) {
      // Cannot fail: the room rule kept space for the backslash.
      work_directory.Append(L"\\");
      *result = Success();
      return true;
    }
  }
  return false;
}
