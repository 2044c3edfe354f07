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
