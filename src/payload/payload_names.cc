#include "payload/payload_names.h"

namespace {

// The name becomes a file name inside the work directory. A separator would let it reach a
// folder above (TAMREL\..\..\x), and a colon would name a drive or a stream: either is refused.
bool IsPlainFileName(const wchar_t* name) {
  for (; *name != 0; ++name) {
    if (*name == L'\\' || *name == L'/' || *name == L':') return false;
  }
  return true;
}

bool Reject(PayloadResources& resources, uint32_t error) {
  resources.error = error;
  return false;
}

}  // namespace

const wchar_t* const kPayloadTypes[kPayloadTypeCount] = {L"B7", L"BL", L"BN"};

bool VisitPayloadResource(PayloadResources& resources, const wchar_t* name, const void* data,
                          uint64_t size) {
  PayloadSlot* slot;
  if (StrStartsWithI(name, L"tamrel")) {
    slot = &resources.archive;
  } else if (StrStartsWithI(name, L"setup")) {
    slot = &resources.setup;
  } else {
    return Reject(resources, kErrorInvalidData);
  }
  // Found before, in this type or an earlier one.
  if (slot->size != 0) return Reject(resources, kErrorTooManyNames);
  // Measured rather than copied first, so that a rejected name never reaches the slot.
  if (SafeStrLen(name, kMaxPath + 1) >= kMaxPath) {
    return Reject(resources, kErrorFilenameExcedRange);
  }
  if (!IsPlainFileName(name)) return Reject(resources, kErrorInvalidName);
  slot->name.Copy(name);
  slot->data = data;
  slot->size = size;
  return true;
}

bool TakePayloadResource(PayloadResources& resources, const wchar_t* name, const void* data,
                         uint64_t size) {
  if (name == nullptr || data == nullptr || size == 0) return false;
  return VisitPayloadResource(resources, name, data, size);
}

PayloadOutcome EndPayloadType(const PayloadResources& resources, size_t type,
                              TypeTag& archive_type, TypeTag& setup_type) {
  if (resources.error != 0) {
    // The tag is filled only after a type's scan, so an archive found in the same type as the
    // rejected resource still makes this the archive's failure.
    return {archive_type.IsEmpty() ? kUnableToExtractArchive : kUnableToExtractSetup,
            resources.error};
  }
  if (archive_type.IsEmpty() && resources.archive.size != 0) archive_type.Copy(kPayloadTypes[type]);
  if (setup_type.IsEmpty() && resources.setup.size != 0) setup_type.Copy(kPayloadTypes[type]);
  if (type + 1 < kPayloadTypeCount) return {0, 0};
  if (resources.archive.size == 0) return {kUnableToExtractArchive, kErrorFileNotFound};
  if (resources.setup.size == 0) return {kUnableToExtractSetup, kErrorFileNotFound};
  return {0, 0};
}
