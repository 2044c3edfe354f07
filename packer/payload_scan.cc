#include "payload_scan.h"

#include "payload/payload_names.h"

namespace pack {
namespace {

bool IsType(std::u16string_view type, const wchar_t* tag) {
  size_t i = 0;
  for (; tag[i] != 0; ++i) {
    if (i == type.size() || type[i] != static_cast<char16_t>(tag[i])) return false;
  }
  return i == type.size();
}

}  // namespace

bool IsPayloadType(std::u16string_view type) {
  for (const wchar_t* tag : kPayloadTypes) {
    if (IsType(type, tag)) return true;
  }
  return false;
}

PayloadVerdict ScanPayload(const PayloadName* names, size_t count) {
  PayloadResources resources;
  TypeTag archive_type, setup_type;
  PayloadVerdict verdict;
  for (size_t type = 0; type < kPayloadTypeCount; ++type) {
    for (size_t i = 0; i < count; ++i) {
      const PayloadName& entry = names[i];
      if (!IsType(entry.type, kPayloadTypes[type])) continue;
      // The name as the enumeration hands it over: terminated, and read no further than the
      // rules read.
      wchar_t name[kMaxPath + 2];
      const size_t length = entry.name.size() < kMaxPath + 1 ? entry.name.size() : kMaxPath + 1;
      for (size_t k = 0; k < length; ++k) name[k] = static_cast<wchar_t>(entry.name[k]);
      name[length] = 0;
      if (!TakePayloadResource(resources, entry.is_id ? nullptr : name, &names[i], entry.size)) {
        if (resources.error != 0) {
          verdict.rejected = static_cast<long>(i);
          verdict.rejected_archive = StrStartsWithI(name, L"tamrel");
        }
        break;
      }
    }
    const PayloadOutcome outcome = EndPayloadType(resources, type, archive_type, setup_type);
    verdict.exit_code = outcome.exit_code;
    verdict.error = outcome.extra_code;
    if (outcome.exit_code != 0) break;
  }
  if (resources.archive.size != 0) {
    verdict.archive = static_cast<const PayloadName*>(resources.archive.data) - names;
  }
  if (resources.setup.size != 0) {
    verdict.setup = static_cast<const PayloadName*>(resources.setup.data) - names;
  }
  return verdict;
}

}  // namespace pack
