// Payload resource names one at a time, into slots that may already hold a piece: which slot a
// name fills, the first rule it breaks, and that a rejection leaves both slots as they were.
#include "payload/payload_names.h"

#include "harness.h"

namespace {

const char kImage[2] = {};
const Text kArchiveSeen = u"TAMREL.FIRST";
const Text kSetupSeen = u"SETUP.FIRST";

void Fill(PayloadSlot& slot, const Text& name, uint64_t size) {
  Slots text = Terminated(name);
  slot.name.Copy(text.get());
  slot.data = &kImage[0];
  slot.size = size;
}

bool SameSlot(const PayloadSlot& a, const PayloadSlot& b) {
  return ToText(a.name.Get()) == ToText(b.name.Get()) && a.data == b.data && a.size == b.size;
}

}  // namespace

HOST_TEST(VisitPayloadResourceFillsOneSlotOrReportsTheFirstBrokenRule) {
  const Text x253(253, u'x');
  struct Case {
    const char* label;
    Text name;
    bool archive_seen;
    bool setup_seen;
    uint32_t error;
    char filled;  // 'a' archive, 's' setup, 0 none
  } cases[] = {
      {"archive, mixed case", u"TamRel.Packed.7z", false, false, 0, 'a'},
      {"setup, mixed case", u"SeTuP.Ex_", false, false, 0, 's'},
      {"prefixes alone", u"tamrel", false, false, 0, 'a'},
      {"archive prefix first", u"tamrelsetup", false, false, 0, 'a'},
      {"setup beside an archive", u"setup.second", true, false, 0, 's'},
      {"259 characters", u"tamrel" + x253, false, false, 0, 'a'},
      {"non-ASCII after the prefix", u"setup\u00e9\u4e2d", false, false, 0, 's'},
      {"prefix cut short", u"tamre", false, false, kErrorInvalidData, 0},
      {"other name", u"README", false, false, kErrorInvalidData, 0},
      {"empty name", u"", false, false, kErrorInvalidData, 0},
      {"only ASCII folds", u"TAMRE\u013d", false, false, kErrorInvalidData, 0},
      {"unknown before separator", u"README:x", false, false, kErrorInvalidData, 0},
      {"second archive", u"TAMREL.SECOND", true, false, kErrorTooManyNames, 0},
      {"second setup", u"setup.second", true, true, kErrorTooManyNames, 0},
      {"second before too long", u"tamrel:" + x253 + u"x", true, false, kErrorTooManyNames, 0},
      {"260 characters", u"tamrel" + x253 + u"x", false, false, kErrorFilenameExcedRange, 0},
      {"261 characters", u"tamrel" + x253 + u"xx", false, false, kErrorFilenameExcedRange, 0},
      {"too long before separator", u"setup/" + x253 + u"x", false, false,
       kErrorFilenameExcedRange, 0},
      {"backslash", u"TAMREL\\..\\..\\ESCAPED.7Z", false, false, kErrorInvalidName, 0},
      {"slash", u"SETUP/../ESCAPED.EX_", false, false, kErrorInvalidName, 0},
      {"colon", u"TAMREL:STREAM", false, true, kErrorInvalidName, 0},
  };
  for (const Case& c : cases) {
    PayloadResources resources, before;
    for (PayloadResources* r : {&resources, &before}) {
      if (c.archive_seen) Fill(r->archive, kArchiveSeen, 7);
      if (c.setup_seen) Fill(r->setup, kSetupSeen, 9);
    }

    Slots name = Terminated(c.name);
    const uint64_t size = 0x100000001ull;  // beyond 32 bits: kept whole
    const bool accepted = VisitPayloadResource(resources, name.get(), &kImage[1], size);
    CHECK(accepted == (c.error == 0), c.label);
    CHECK(resources.error == c.error, c.label);
    PayloadSlot& changed = c.filled == 's' ? resources.setup : resources.archive;
    PayloadSlot& kept = c.filled == 's' ? resources.archive : resources.setup;
    if (c.filled != 0) {
      CHECK_TEXT(c.name, ToText(changed.name.Get()), c.label);
      CHECK(changed.data == &kImage[1] && changed.size == size, c.label);
      CHECK(SameSlot(kept, c.filled == 's' ? before.archive : before.setup), c.label);
    } else {
      CHECK(SameSlot(resources.archive, before.archive), c.label);
      CHECK(SameSlot(resources.setup, before.setup), c.label);
    }
  }
}
