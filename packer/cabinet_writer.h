// The setup program's cabinet: one folder, one file "setup.exe", MSZIP in blocks of 32 KiB.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "file_io.h"

namespace pack {

// 1980-01-01 00:00:00 UTC, the first second a DOS date holds: the date and signing time used when
// SOURCE_DATE_EPOCH is not set.
constexpr uint64_t kFirstDosSecond = 315532800;

struct DosTime {
  uint16_t date = 0;
  uint16_t time = 0;
};

// The cabinet checksum: the little-endian 32-bit words XORed, with a trailing 1 to 3 bytes taken
// most significant first, as the format defines it. `seed` chains calls.
uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed);

// Seconds since 1970 (UTC) as the date and time a cabinet stores, kept within what a DOS date
// can hold (1980-01-01 00:00:00 to 2107-12-31 23:59:58) and rounded down to two seconds.
DosTime DosTimeFromEpoch(uint64_t seconds);

// Writes the cabinet at the end of `out`, reading `source` once in 32 KiB blocks; the file is
// stored as "setup.exe" with the archive attribute and `stamp`. Returns the cabinet's size.
// Stops within a block once `cancel` is set (the rest of the run failed), failing with a
// PackError that nobody reports.
uint64_t WriteCabinet(InputFile& source, OutputFile& out, DosTime stamp,
                      const std::atomic<bool>* cancel = nullptr);

}  // namespace pack
