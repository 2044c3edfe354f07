#include "payload/unpack.h"

#include "payload/payload_names.h"

namespace {

// The platform's numbers for the errors the name rules report.
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "payload name error");
static_assert(kErrorInvalidData == ERROR_INVALID_DATA, "payload name error");
static_assert(kErrorTooManyNames == ERROR_TOO_MANY_NAMES, "payload name error");
static_assert(kErrorInvalidName == ERROR_INVALID_NAME, "payload name error");
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE, "payload name error");
static_assert(kUnableToExtractArchive == UNABLE_TO_EXTRACT_ARCHIVE, "payload exit code");
static_assert(kUnableToExtractSetup == UNABLE_TO_EXTRACT_SETUP, "payload exit code");

struct ScanContext {
  PayloadResources* resources;
  const UnpackApi* api;
};

// The resource a name stands for, loaded and locked; `data` stays null when any step fails, and
// no step runs once one has.
void LoadNamedResource(HMODULE module, LPCWSTR type, LPCWSTR name, const UnpackApi& api,
                       const void** data, DWORD* size) {
  const HRSRC found = api.FindResourceW(module, name, type);
  if (found == nullptr) return;
  *size = api.SizeofResource(module, found);
  if (*size == 0) return;
  const HGLOBAL loaded = api.LoadResource(module, found);
  if (loaded == nullptr) return;
  *data = api.LockResource(loaded);
}

// Any FALSE ends the enumeration of this type; TakePayloadResource says when.
BOOL CALLBACK VisitResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
  const ScanContext* scan = reinterpret_cast<const ScanContext*>(parameter);
  if (scan == nullptr) return FALSE;
  const void* data = nullptr;
  DWORD size = 0;
  const bool named = !IS_INTRESOURCE(name);
  if (named) LoadNamedResource(module, type, name, *scan->api, &data, &size);
  return TakePayloadResource(*scan->resources, named ? name : nullptr, data, size) ? TRUE : FALSE;
}

// Whether the enumeration finished; false also for a type with no resources at all.
bool VisitResources(HMODULE module, const wchar_t* type, const ScanContext& scan) {
  return scan.api->EnumResourceNamesW(module, type, VisitResourceName,
                                      reinterpret_cast<LONG_PTR>(&scan)) != FALSE;
}

PEResource ToResource(const PayloadSlot& slot) { return PEResource{slot.data, slot.size}; }

bool BuildPath(PathString& path, const wchar_t* directory, const wchar_t* name) {
  return path.Copy(directory) && path.Append(name);
}

}  // namespace

ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                         TypeTag& setup_type, PathString& archive_path, TypeTag& archive_type,
                         const UnpackApi& api) {
  PayloadResources resources;
  const ScanContext scan = {&resources, &api};
  for (size_t type = 0; type < kPayloadTypeCount; ++type) {
    VisitResources(module, kPayloadTypes[type], scan);
    const PayloadOutcome outcome = EndPayloadType(resources, type, archive_type, setup_type);
    if (outcome.exit_code != 0) return {outcome.exit_code, outcome.extra_code};
  }

  if (!BuildPath(archive_path, work_directory, resources.archive.name.Get())) {
    return {PATH_STRING_OVERFLOW, 0};
  }
  if (!WriteResourceToFile(ToResource(resources.archive), archive_path.Get(), api.output_file)) {
    return {UNABLE_TO_EXTRACT_ARCHIVE, ::GetLastError()};
  }

  const bool is_uncompressed = ::lstrcmpW(setup_type.Get(), L"BN") == 0;
  if (!BuildPath(setup_path, work_directory,
                 is_uncompressed ? L"setup.exe" : resources.setup.name.Get())) {
    return {PATH_STRING_OVERFLOW, 0};
  }
  if (!WriteResourceToFile(ToResource(resources.setup), setup_path.Get(), api.output_file)) {
    return {UNABLE_TO_WRITE_SETUP, ::GetLastError()};
  }
  if (::lstrcmpW(setup_type.Get(), L"BL") != 0) return Success();

  PathString expanded_path;
  if (!BuildPath(expanded_path, work_directory, L"setup.exe")) return {PATH_STRING_OVERFLOW, 0};
  const bool expanded = ExpandCabinet(setup_path.Get(), expanded_path.Get(), api.cabinet);
  // The compressed file goes whatever the outcome of the expansion.
  DeleteWithRetry(setup_path.Get(), api.deletion);
  setup_path.Copy(expanded_path.Get());
  return expanded ? Success() : ExitResult{UNABLE_TO_EXTRACT_SETUP, 0};
}
