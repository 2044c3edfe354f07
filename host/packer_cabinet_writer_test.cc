// The date a cabinet stores for the setup program: the calendar across leap days and centuries,
// the two-second steps, and the DOS range's ends.
#include "cabinet_writer.h"

#include "harness.h"

HOST_TEST(DosTimeFromEpochKeepsTheCalendarAndTheRange) {
  const struct {
    const char* label;
    uint64_t seconds;
    int year, month, day, hour, minute, second;
  } cases[] = {
      {"before 1980", 0, 1980, 1, 1, 0, 0, 0},
      {"first DOS second", 315532800, 1980, 1, 1, 0, 0, 0},
      {"odd second rounds down", 1700000001, 2023, 11, 14, 22, 13, 20},
      {"leap day of a 400th year", 951868799, 2000, 2, 29, 23, 59, 58},
      {"2100 is no leap year", 4107542400, 2100, 3, 1, 0, 0, 0},
      {"last DOS second", 4354819199, 2107, 12, 31, 23, 59, 58},
      {"past 2107", UINT64_MAX, 2107, 12, 31, 23, 59, 58},
  };
  for (const auto& c : cases) {
    const pack::DosTime t = pack::DosTimeFromEpoch(c.seconds);
    CHECK(t.date == ((c.year - 1980) << 9 | c.month << 5 | c.day), c.label);
    CHECK(t.time == (c.hour << 11 | c.minute << 5 | c.second / 2), c.label);
  }
}
