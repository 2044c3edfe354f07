#include "payload/cabinet.h"

#include <fdi.h>

#include "driver/system_library.h"
#include "support/wide_string.h"

namespace {

// The only process-wide state of the stub. The library stays loaded once loaded (a failed load
// leaves it null, so the next call tries again). `api` and `source` are the seam and the cabinet's
// path of the expansion in progress: FDI's memory and file callbacks receive no context of their
// own, so they find them here; both are null outside ExpandCabinet. Plain data, zero-initialised:
// no constructor runs for it.
struct CabinetState {
  HMODULE library;
  const CabinetApi* api;
  const wchar_t* source;
};
CabinetState g_cabinet;

using FdiCreateFn = decltype(&FDICreate);
using FdiCopyFn = decltype(&FDICopy);
using FdiDestroyFn = decltype(&FDIDestroy);

// The library's own path, never the search path: a cabinet.dll planted beside the stub must not
// load. The system directory as the system reports it is the place: WINDIR and SYSTEMROOT come
// from the environment the stub was started with, which a stub the user elevates takes from the
// user's own settings, where any program of theirs can point them elsewhere. The candidates below
// are tried only when the system cannot report its directory, never after a load from there
// failed; WINDIR may be unset in a crafted environment, hence the fallbacks after it.
const wchar_t* const kLibraryCandidates[] = {
    L"%WINDIR%\\system32\\cabinet.dll",
    L"%SYSTEMROOT%\\system32\\cabinet.dll",
    L"C:\\Windows\\system32\\cabinet.dll",
};

// What FDI is given for the cabinet: an empty directory and a name of this code's own, which the
// open callback maps to the cabinet's real path. FDI takes a path in narrow characters and only a
// short one (about 256 bytes for directory and name together), which a path of kMaxPath wide
// characters need not fit in: in UTF-8 a character outside ASCII takes up to three bytes. The
// name holds characters no file name may have, so it can never name a file of its own.
const char kCabinetDirectory[] = "";
const char kCabinetName[] = "<cabinet>";

// FDI's open flags (the C runtime's values).
constexpr int kOpenWriteOnly = 0x0001;
constexpr int kOpenReadWrite = 0x0002;
constexpr int kOpenCreate = 0x0100;

// The attributes a cabinet may give the expanded file: read-only, hidden, system, archive. The
// others (execute, name-is-UTF-8) mean nothing to the file system.
constexpr DWORD kKeptAttributes = 0x27;

// FDI carries Windows file handles in its integer handle; its failure value -1 is
// INVALID_HANDLE_VALUE.
HANDLE ToHandle(INT_PTR fdi_handle) { return reinterpret_cast<HANDLE>(fdi_handle); }
INT_PTR ToFdiHandle(HANDLE handle) { return reinterpret_cast<INT_PTR>(handle); }

template <typename Fn>
Fn Lookup(const CabinetApi& api, const char* name) {
  // Through the one function-pointer type that converts to any other without a warning.
  return reinterpret_cast<Fn>(
      reinterpret_cast<void (*)()>(api.GetProcAddress(g_cabinet.library, name)));
}

// Makes the seam and the cabinet's path reachable from the FDI callbacks for the duration of one
// expansion.
class ActiveSeam {
 public:
  ActiveSeam(const CabinetApi& api, const wchar_t* source) {
    g_cabinet.api = &api;
    g_cabinet.source = source;
  }
  ~ActiveSeam() {
    g_cabinet.api = nullptr;
    g_cabinet.source = nullptr;
  }
  ActiveSeam(const ActiveSeam&) = delete;
  ActiveSeam& operator=(const ActiveSeam&) = delete;
};

bool LoadCabinetLibrary(const CabinetApi& api) {
  if (g_cabinet.library != nullptr) return true;
  bool unreported = false;
  g_cabinet.library = LoadSystemLibrary(L"cabinet.dll", api.library, &unreported);
  if (g_cabinet.library != nullptr || !unreported) return g_cabinet.library != nullptr;
  PathString path;
  for (const wchar_t* candidate : kLibraryCandidates) {
    path.Clear();
    const DWORD count = api.ExpandEnvironmentStringsW(candidate, path.Get(), kMaxPath);
    // The count includes the terminator; above the buffer size it is the size that was needed.
    if (count == 0 || count > kMaxPath) continue;
    g_cabinet.library = LoadLibraryByPath(path.Get(), api.library);
    if (g_cabinet.library != nullptr) return true;
  }
  return false;
}

void* DIAMONDAPI AllocCallback(ULONG size) {
  const CabinetApi& api = *g_cabinet.api;
  return api.HeapAlloc(api.GetProcessHeap(), 0, size);
}

void DIAMONDAPI FreeCallback(void* block) {
  const CabinetApi& api = *g_cabinet.api;
  api.HeapFree(api.GetProcessHeap(), 0, block);
}

// FDI builds the name it opens from the directory and name it was given; it opens nothing else
// here, since the handler stops before any other cabinet is asked for.
bool IsCabinetName(const char* name) {
  for (const char* expected = kCabinetName;; ++name, ++expected) {
    if (*name != *expected) return false;
    if (*name == 0) return true;
  }
}

INT_PTR DIAMONDAPI OpenCallback(char* name, int flags, int /*mode*/) {
  const CabinetApi& api = *g_cabinet.api;
  if (!IsCabinetName(name)) return -1;
  DWORD access = GENERIC_READ;
  if (flags & kOpenReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  } else if (flags & kOpenWriteOnly) {
    access = GENERIC_WRITE;
  }
  const DWORD disposition = (flags & kOpenCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
  return ToFdiHandle(api.CreateFileW(g_cabinet.source, access, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

UINT DIAMONDAPI ReadCallback(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!g_cabinet.api->ReadFile(ToHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

UINT DIAMONDAPI WriteCallback(INT_PTR file, void* buffer, UINT count) {
  DWORD done = 0;
  if (!g_cabinet.api->WriteFile(ToHandle(file), buffer, count, &done, nullptr)) {
    return static_cast<UINT>(-1);
  }
  return done;
}

int DIAMONDAPI CloseCallback(INT_PTR file) {
  return g_cabinet.api->CloseHandle(ToHandle(file)) ? 0 : -1;
}

LONG DIAMONDAPI SeekCallback(INT_PTR file, LONG distance, int seek_type) {
  // FDI's seek types 0, 1, 2 are FILE_BEGIN, FILE_CURRENT, FILE_END.
  return static_cast<LONG>(g_cabinet.api->SetFilePointer(ToHandle(file), distance, nullptr,
                                                          static_cast<DWORD>(seek_type)));
}

struct ExpandContext {
  ExpandContext(const wchar_t* destination, const CabinetApi& seam)
      : destination_path(destination), output_file(seam.output_file), api(seam) {}

  const wchar_t* destination_path;
  OutputFile output_file;
  // The first file was closed holding every byte the cabinet declared for it.
  bool succeeded = false;
  // Set at the first file, written or not: every later file is skipped, since not every FDI
  // honours the stop asked for at a file's close.
  bool first_file_seen = false;
  // The handler asked FDI to stop, so FDI's "user abort" is this code's own doing.
  bool stop_requested = false;
  ULONG declared_size = 0;
  // The stored date, time and attributes of the first file, given to it once it counts.
  USHORT date = 0;
  USHORT time = 0;
  USHORT attributes = 0;
  const CabinetApi& api;
};

// Only on a file that is kept: a read-only file refuses to be marked for deletion, so one marked
// read-only before the copy had failed would stay behind. The stored DOS date and time are local
// time; the file system wants UTC. Zero fields in the structure leave those times (the last-write
// time among them) as they are.
void SetTimeAndAttributes(HANDLE file, const ExpandContext& context, const CabinetApi& api) {
  FILE_BASIC_INFO basic = {};
  FILETIME local;
  FILETIME utc;
  if (api.DosDateTimeToFileTime(context.date, context.time, &local) &&
      api.LocalFileTimeToFileTime(&local, &utc)) {
    basic.CreationTime.LowPart = utc.dwLowDateTime;
    basic.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
  }
  basic.FileAttributes = context.attributes & kKeptAttributes;
  api.SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

INT_PTR Stop(ExpandContext* context) {
  context->stop_requested = true;
  return -1;
}

INT_PTR DIAMONDAPI NotifyCallback(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  ExpandContext* context = static_cast<ExpandContext*>(info->pv);
  const CabinetApi& api = context->api;
  switch (type) {
    case fdintCABINET_INFO:
    case fdintENUMERATE:
      return 0;
    case fdintCOPY_FILE: {
      // Returning 0 skips the file. Without this a second file would reopen the destination and
      // replace the first.
      if (context->first_file_seen) return 0;
      context->first_file_seen = true;
      // The stored name is ignored: the first file is the setup program whatever it is called.
      if (!context->output_file.Open(context->destination_path)) return Stop(context);
      const HANDLE duplicate = context->output_file.DuplicateFileHandle();
      if (duplicate == INVALID_HANDLE_VALUE) return Stop(context);
      context->declared_size = static_cast<ULONG>(info->cb);
      return ToFdiHandle(duplicate);
    }
    case fdintCLOSE_FILE_INFO: {
      // Some FDIs report the close of a file cut short by a truncated cabinet before they fail:
      // only a file of the declared size counts.
      const HANDLE file = ToHandle(info->hf);
      LARGE_INTEGER size;
      const bool complete = api.GetFileSizeEx(file, &size) &&
                            static_cast<ULONGLONG>(size.QuadPart) == context->declared_size;
      context->date = info->date;
      context->time = info->time;
      context->attributes = info->attribs;
      // This is FDI's duplicate; the output file's own handle stays open until the end.
      api.CloseHandle(file);
      context->succeeded = complete;
      return Stop(context);
    }
    case fdintPARTIAL_FILE:
    case fdintNEXT_CABINET:
    default:
      // A file that continues in another cabinet cannot be expanded from this one.
      return Stop(context);
  }
}

}  // namespace

bool ExpandCabinet(const wchar_t* source_path, const wchar_t* destination_path,
                   const CabinetApi& api) {
  if (!LoadCabinetLibrary(api)) return false;
  const FdiCreateFn fdi_create = Lookup<FdiCreateFn>(api, "FDICreate");
  const FdiDestroyFn fdi_destroy = Lookup<FdiDestroyFn>(api, "FDIDestroy");
  const FdiCopyFn fdi_copy = Lookup<FdiCopyFn>(api, "FDICopy");
  if (fdi_create == nullptr || fdi_destroy == nullptr || fdi_copy == nullptr) return false;

  // Only a path that names a folder: a bare name would be looked up in the current directory, and
  // a backslash in the first position leaves no folder to speak of.
  int slash = ::lstrlenW(source_path) - 1;
  while (slash > 0 && source_path[slash] != L'\\') --slash;
  if (slash <= 0) return false;

  ActiveSeam active(api, source_path);
  // FDI reports every later error of this context into the record given here.
  ERF error = {};
  const HFDI fdi = fdi_create(AllocCallback, FreeCallback, OpenCallback, ReadCallback,
                              WriteCallback, CloseCallback, SeekCallback, cpuUNKNOWN, &error);
  if (fdi == nullptr) return false;

  ExpandContext context(destination_path, api);
  // FDI reads the two strings and never writes them; its declaration predates const.
  const BOOL copied = fdi_copy(fdi, const_cast<char*>(kCabinetName),
                               const_cast<char*>(kCabinetDirectory), 0, NotifyCallback, nullptr,
                               &context);
  fdi_destroy(fdi);

  // A complete first file is not enough: the copy must also have ended well, or ended because
  // the handler stopped it.
  const bool succeeded =
      context.succeeded &&
      (copied || (context.stop_requested && error.erfOper == FDIERROR_USER_ABORT));
  if (succeeded) {
    // The output file's own handle was opened for writing, which includes its attributes.
    SetTimeAndAttributes(context.output_file.GetHandle(), context, api);
    api.FlushFileBuffers(context.output_file.GetHandle());
  } else if (context.output_file.IsOpen()) {
    context.output_file.MarkForDeletion();
  }
  context.output_file.Close();
  return succeeded;
}
