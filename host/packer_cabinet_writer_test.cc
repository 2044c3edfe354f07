// The date a cabinet stores for the setup program: the calendar across leap days and centuries,
// the two-second steps, and the DOS range's ends.
#include "cabinet_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "harness.h"
#include "pack_error.h"

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

// Faults a pack meets while it runs: the rest of the run failing, which must stop the
// compression at once rather than after the whole setup program, an input rewritten in place at
// the same size, which only its times show, and one truncated.
HOST_TEST(CompressionStopsWhenCancelledAndARewrittenInputIsCaught) {
  char folder[] = "/tmp/packer-host-XXXXXX";
  CHECK(mkdtemp(folder) != nullptr, "scratch folder");
  const std::string path = std::string(folder) + "/input.bin";
  const std::vector<char> bytes(1 << 20, 'x');
  auto write = [&](const char* mode) {
    FILE* file = std::fopen(path.c_str(), mode);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  };
  write("wb");
  auto failure = [](const std::function<void()>& run) {
    try {
      run();
    } catch (const pack::PackError& error) {
      return std::string(error.what());
    }
    return std::string();
  };
  {
    pack::InputFile input(path, "setup program");
    pack::OutputFile out(folder, "out.exe", pack::OutputKind::kScratch);
    const std::atomic<bool> cancel{true};
    CHECK(failure([&] { pack::WriteCabinet(input, out, {}, &cancel); }) == "cancelled",
          "a cancelled compression stops before its first block");
  }
  {
    pack::InputFile input(path, "archive");
    write("r+b");
    // A rewrite within one tick of the clock leaves the times as they were: set them apart.
    const struct timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
    utimensat(AT_FDCWD, path.c_str(), later, 0);
    std::vector<char> read(bytes.size());
    const std::string error = failure([&] {
      input.ReadExactly(read.data(), read.size());
      input.ExpectEnd();
    });
    CHECK(error.find("archive '" + path + "' changed while it was packed") != std::string::npos,
          "rewritten at the same size");
  }
  {
    // Truncated after it was opened: the kernel's copy comes up short, and nothing is mapped
    // that could fault.
    pack::InputFile input(path, "archive");
    truncate(path.c_str(), static_cast<off_t>(bytes.size() / 2));
    pack::OutputFile out(folder, "out.exe", pack::OutputKind::kScratch);
    const std::string error = failure(
        [&] { out.AppendFrom(input, bytes.size(), [](const uint8_t*, size_t) {}); });
    CHECK(error.find("changed while it was packed") != std::string::npos, "truncated");
  }
  unlink(path.c_str());
  rmdir(folder);
}
