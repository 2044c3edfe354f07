#include "payload_scan.h"

#include "payload/payload_names.h"

namespace pack {

PayloadVerdict ScanPayload(const PayloadName* names, size_t count) {
  PayloadResources resources;
  PayloadVerdict verdict;
  bool archive_typed = false;
  for (int type = 0; type < 3; ++type) {
    resources.error = 0;
    for (size_t i = 0; i < count; ++i) {
      const PayloadName& entry = names[i];
      if (entry.type != type) continue;
      // The enumeration stops at a resource it cannot size, without an error.
      if (entry.size == 0) break;
      // The name as the enumeration hands it over: terminated, and read no further than the
      // visitor reads.
      wchar_t name[kMaxPath + 2];
      size_t length = entry.length < kMaxPath + 1 ? entry.length : kMaxPath + 1;
      for (size_t k = 0; k < length; ++k) name[k] = static_cast<wchar_t>(entry.name[k]);
      name[length] = 0;
      if (!VisitPayloadResource(resources, name, &names[i], entry.size)) {
        verdict.rejected = static_cast<long>(i);
        verdict.rejected_archive = StrStartsWithI(name, L"tamrel");
        break;
      }
    }
    if (resources.error != 0) {
      verdict.exit_code = archive_typed ? 115 : 112;
      verdict.error = resources.error;
      return verdict;
    }
    archive_typed = archive_typed || resources.archive.size != 0;
  }
  if (resources.archive.size != 0) {
    verdict.archive = static_cast<const PayloadName*>(resources.archive.data) - names;
  }
  if (resources.setup.size != 0) {
    verdict.setup = static_cast<const PayloadName*>(resources.setup.data) - names;
  }
  if (verdict.archive < 0 || verdict.setup < 0) {
    verdict.exit_code = verdict.archive < 0 ? 112 : 115;
    verdict.error = 2;
  }
  return verdict;
}

}  // namespace pack
