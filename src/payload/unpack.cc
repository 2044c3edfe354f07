#include "payload/unpack.h"

namespace {

// The state of one scan over the payload types. A slot holds a resource once its size is not 0.
struct PayloadResources {
  PathString archive_name;
  PEResource archive = {};
  PathString setup_name;
  PEResource setup = {};
  DWORD error = 0;
};

struct ScanContext {
  PayloadResources* resources;
  const UnpackApi* api;
};

// The name becomes a file name inside the work directory. A separator would let it reach a
// folder above (TAMREL\..\..\x), and a colon would name a drive or a stream: either is refused.
bool IsPlainFileName(const wchar_t* name) {
  for (; *name != 0; ++name) {
    if (*name == L'\\' || *name == L'/' || *name == L':') return false;
  }
  return true;
}

// Records one named resource; false (with `error` set) rejects it and ends the scan.
bool VisitPayloadResource(PayloadResources& resources, const wchar_t* name,
                          const PEResource& resource) {
  PathString* slot_name;
  PEResource* slot;
  if (StrStartsWithI(name, L"tamrel")) {
    slot_name = &resources.archive_name;
    slot = &resources.archive;
  } else if (StrStartsWithI(name, L"setup")) {
    slot_name = &resources.setup_name;
    slot = &resources.setup;
  } else {
    resources.error = ERROR_INVALID_DATA;
    return false;
  }
  // Found before, in this type or an earlier one.
  if (slot->size != 0) {
    resources.error = ERROR_TOO_MANY_NAMES;
    return false;
  }
  if (!slot_name->Copy(name)) {
    resources.error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  if (!IsPlainFileName(name)) {
    resources.error = ERROR_INVALID_NAME;
    return false;
  }
  *slot = resource;
  return true;
}

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
  // A view into the loaded image: the payload is never copied.
  return VisitPayloadResource(*scan->resources, name, PEResource{data, size}) ? TRUE : FALSE;
}

// Whether the enumeration finished; false also for a type with no resources at all.
bool VisitResources(HMODULE module, const wchar_t* type, const ScanContext& scan) {
  return scan.api->EnumResourceNamesW(module, type, VisitResourceName,
                                      reinterpret_cast<LONG_PTR>(&scan)) != FALSE;
}

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

  if (!BuildPath(archive_path, work_directory, resources.archive_name.Get())) {
    return {PATH_STRING_OVERFLOW, 0};
  }
  if (!WriteResourceToFile(resources.archive, archive_path.Get(), api.output_file)) {
    return {UNABLE_TO_EXTRACT_ARCHIVE, ::GetLastError()};
  }

  const bool is_uncompressed = ::lstrcmpW(setup_type.Get(), L"BN") == 0;
  if (!BuildPath(setup_path, work_directory,
                 is_uncompressed ? L"setup.exe" : resources.setup_name.Get())) {
    return {PATH_STRING_OVERFLOW, 0};
  }
  if (!WriteResourceToFile(resources.setup, setup_path.Get(), api.output_file)) {
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
