#include "payload/unpack.h"

#include "payload/payload_names.h"

namespace {

// The platform's numbers for the errors the name rules report.
static_assert(kErrorInvalidData == ERROR_INVALID_DATA, "payload name error");
static_assert(kErrorTooManyNames == ERROR_TOO_MANY_NAMES, "payload name error");
static_assert(kErrorInvalidName == ERROR_INVALID_NAME, "payload name error");
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE, "payload name error");

struct ScanContext {
  PayloadResources* resources;
  const UnpackApi* api;
};

// Any FALSE ends the enumeration of this type. Resources that cannot be used end it silently: the
// directory lists a type's named entries before its integer ones, so by the first integer id every
// named resource has been seen, and an empty named one hides those after it.
BOOL CALLBACK VisitResourceName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
  const ScanContext* scan = reinterpret_cast<const ScanContext*>(parameter);
  if (scan == nullptr || IS_INTRESOURCE(name)) return FALSE;
  const UnpackApi& api = *scan->api;
  const HRSRC found = api.FindResourceW(module, name, type);
  if (found == nullptr) return FALSE;
  const DWORD size = api.SizeofResource(module, found);
  if (size == 0) return FALSE;
  const HGLOBAL loaded = api.LoadResource(module, found);
  if (loaded == nullptr) return FALSE;
  const void* data = api.LockResource(loaded);
  if (data == nullptr) return FALSE;
  return VisitPayloadResource(*scan->resources, name, data, size) ? TRUE : FALSE;
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
  static const wchar_t* const kTypes[] = {L"B7", L"BL", L"BN"};
  for (const wchar_t* type : kTypes) {
    resources.error = 0;
    VisitResources(module, type, scan);
    if (resources.error != 0) {
      // The tag is filled only after a type's scan, so an archive found in the same type as the
      // rejected resource still makes this the archive's failure.
      return {archive_type.IsEmpty() ? UNABLE_TO_EXTRACT_ARCHIVE : UNABLE_TO_EXTRACT_SETUP,
              resources.error};
    }
    if (archive_type.IsEmpty() && resources.archive.size != 0) archive_type.Copy(type);
    if (setup_type.IsEmpty() && resources.setup.size != 0) setup_type.Copy(type);
  }
  if (resources.archive.size == 0) return {UNABLE_TO_EXTRACT_ARCHIVE, ERROR_FILE_NOT_FOUND};
  if (resources.setup.size == 0) return {UNABLE_TO_EXTRACT_SETUP, ERROR_FILE_NOT_FOUND};

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
