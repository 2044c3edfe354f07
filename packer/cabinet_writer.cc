#include "cabinet_writer.h"

#include <zlib.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "bytes.h"
#include "pack_error.h"

namespace pack {

namespace {

constexpr uint64_t kLastDosSecond = 4354819198;  // 2107-12-31 23:59:58
constexpr size_t kBlock = 32768;                 // input bytes of one MSZIP data block
constexpr uint64_t kMostBlocks = 0xFFFF;         // the folder counts its blocks in 16 bits
constexpr char kFileName[] = "setup.exe";
constexpr uint16_t kArchiveAttribute = 0x20;

// The header, the one folder and the one file entry, as the cabinet lays them out.
constexpr size_t kHeaderSize = 36;
constexpr size_t kFolderSize = 8;
constexpr size_t kFileEntrySize = 16 + sizeof(kFileName);
constexpr size_t kFirstDataBlock = kHeaderSize + kFolderSize + kFileEntrySize;
constexpr size_t kCabinetSizeField = 8;

// zlib's settings are part of the output: another level, memory level or strategy writes other
// (equally valid) bytes, and installers are meant to be reproducible, so each is fixed here
// rather than left to zlib's defaults. Level 6: on a 5 MiB program, level 9 saved 0.4% of the
// cabinet at 2.6 times the time (0.35 s against 0.9 s). Memory level 8 and the default strategy,
// zlib's own choices (memory level 9 saved nothing to speak of). windowBits -15: raw deflate with
// the full 32 KiB window MSZIP allows. The Linux and the Windows build link the same zlib
// release (1.2.13), which is what makes their cabinets byte-identical.
constexpr int kLevel = 6;
constexpr int kWindowBits = -15;
constexpr int kMemoryLevel = 8;

class Deflater {
 public:
  Deflater() {
    if (deflateInit2(&stream_, kLevel, Z_DEFLATED, kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      Fail("cannot start the setup program's compression: zlib is out of memory");
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // `input` as one complete raw deflate stream into `out` (whose size is its capacity), which
  // may refer back into `history`, the block before it. Returns the bytes written, or 0 when
  // they would not fit.
  size_t Compress(const uint8_t* history, size_t history_size, const uint8_t* input, size_t size,
                  uint8_t* out, size_t capacity) {
    if (deflateReset(&stream_) != Z_OK ||
        (history_size != 0 &&
         deflateSetDictionary(&stream_, history, static_cast<uInt>(history_size)) != Z_OK)) {
      Fail("the setup program's compression failed in zlib");
    }
    stream_.next_in = const_cast<Bytef*>(input);
    stream_.avail_in = static_cast<uInt>(size);
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(capacity);
    const int result = deflate(&stream_, Z_FINISH);
    if (result == Z_STREAM_END) return capacity - stream_.avail_out;
    if (result == Z_OK || result == Z_BUF_ERROR) return 0;  // out of room
    Fail("the setup program's compression failed in zlib");
  }

 private:
  z_stream stream_{};
};

// A deflate stream of one final stored block: the block's bytes as they are. Never more than
// five bytes over the input, which keeps every data block within what readers accept.
size_t StoredStream(const uint8_t* input, size_t size, uint8_t* out) {
  out[0] = 1;  // BFINAL set, BTYPE 00 (stored); the rest of the byte is padding
  Set16(out + 1, static_cast<uint32_t>(size));
  Set16(out + 3, static_cast<uint32_t>(~size & 0xFFFF));
  std::memcpy(out + 5, input, size);
  return 5 + size;
}

}  // namespace

uint32_t CabinetChecksum(const uint8_t* data, size_t size, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    sum ^= static_cast<uint32_t>(data[i]) | static_cast<uint32_t>(data[i + 1]) << 8 |
           static_cast<uint32_t>(data[i + 2]) << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
  }
  uint32_t tail = 0;
  for (; i < size; ++i) tail = tail << 8 | data[i];
  return sum ^ tail;
}

DosTime DosTimeFromEpoch(uint64_t seconds) {
  if (seconds < kFirstDosSecond) seconds = kFirstDosSecond;
  if (seconds > kLastDosSecond) seconds = kLastDosSecond;
  const uint64_t day_second = seconds % 86400;
  // The civil date of a day count since 1970-01-01, in the proleptic Gregorian calendar, from
  // eras of 400 years that start on 1 March (so the leap day ends a year).
  const uint64_t days = seconds / 86400 + 719468;  // days since 0000-03-01
  const uint64_t era = days / 146097;
  const uint64_t day_of_era = days - era * 146097;
  const uint64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const uint64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const uint64_t march_month = (5 * day_of_year + 2) / 153;  // 0 is March
  const uint64_t day = day_of_year - (153 * march_month + 2) / 5 + 1;
  const uint64_t month = march_month < 10 ? march_month + 3 : march_month - 9;
  const uint64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

  DosTime stamp;
  stamp.date = static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
  stamp.time = static_cast<uint16_t>(day_second / 3600 << 11 | day_second / 60 % 60 << 5 |
                                     day_second % 60 / 2);
  return stamp;
}

uint64_t WriteCabinet(InputFile& source, OutputFile& out, DosTime stamp,
                      const std::atomic<bool>* cancel) {
  const uint64_t size = source.size();
  const uint64_t blocks = (size + kBlock - 1) / kBlock;
  if (blocks > kMostBlocks) {
    Fail(source.Named() + " is " + std::to_string(size) +
         " bytes; a cabinet holds at most " + std::to_string(kMostBlocks * kBlock));
  }
  const uint64_t start = out.offset();

  uint8_t head[kFirstDataBlock] = {};
  std::memcpy(head, "MSCF", 4);
  // Bytes 8-11, the cabinet's size, are patched at the end.
  Set32(head + 16, kHeaderSize + kFolderSize);  // the first file entry
  head[24] = 3;                                 // format version 1.3
  head[25] = 1;
  Set16(head + 26, 1);  // folders
  Set16(head + 28, 1);  // files
  // Flags, set id and cabinet number stay 0: one cabinet, no reserved fields.
  uint8_t* folder = head + kHeaderSize;
  Set32(folder, kFirstDataBlock);
  Set16(folder + 4, static_cast<uint32_t>(blocks));
  Set16(folder + 6, 1);  // MSZIP
  uint8_t* file = folder + kFolderSize;
  Set32(file, static_cast<uint32_t>(size));
  // Offset in the folder's data, folder index: 0.
  Set16(file + 10, stamp.date);
  Set16(file + 12, stamp.time);
  Set16(file + 14, kArchiveAttribute);
  std::memcpy(file + 16, kFileName, sizeof(kFileName));
  out.Write(head, sizeof(head));

  // Each block may refer back only into the input block before it, so blocks compress apart
  // from each other: a batch at a time, its first half on a thread of its own and its second on
  // this one, then written in order. The bytes are those of compressing them one by one; a
  // setup program is compressed in about half the time where a core is free. The batch's slot 0
  // keeps the last block of the batch before, the history of its first block.
  constexpr size_t kBatch = 64;
  constexpr size_t kBlockHeader = 8;
  constexpr size_t kSignature = 2;  // "CK"
  constexpr size_t kMostBlockBytes = kBlockHeader + kSignature + 5 + kBlock;
  std::vector<uint8_t> inputs((kBatch + 1) * kBlock);
  std::vector<uint8_t> outputs(kBatch * kMostBlockBytes);
  size_t counts[kBatch + 1] = {};  // the input bytes in each slot; slot 0's are the history
  size_t lengths[kBatch] = {};     // the bytes of each data block, header included
  Deflater first_half, second_half;
  // One data block: its header, "CK", and the stream, or the stored form of the input where
  // deflate would not make it smaller (data that does not compress).
  auto compress = [&](Deflater& deflater, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (cancel != nullptr && cancel->load()) Fail("cancelled");
      const uint8_t* input = inputs.data() + (i + 1) * kBlock;
      uint8_t* block = outputs.data() + i * kMostBlockBytes;
      uint8_t* stream = block + kBlockHeader + kSignature;
      const size_t count = counts[i + 1];
      size_t length = deflater.Compress(input - kBlock, counts[i], input, count, stream,
                                        5 + count - 1);
      if (length == 0) length = StoredStream(input, count, stream);
      block[kBlockHeader] = 'C';
      block[kBlockHeader + 1] = 'K';
      const size_t data_size = kSignature + length;
      Set16(block + 4, static_cast<uint32_t>(data_size));
      Set16(block + 6, static_cast<uint32_t>(count));
      // The checksum covers the data, then the two size fields after it.
      Set32(block, CabinetChecksum(block + 4, 4, CabinetChecksum(block + kBlockHeader, data_size, 0)));
      lengths[i] = kBlockHeader + data_size;
    }
  };
  for (uint64_t remaining = size; remaining != 0;) {
    if (cancel != nullptr && cancel->load()) Fail("cancelled");
    size_t batch = 0;
    for (; batch < kBatch && remaining != 0; ++batch) {
      const size_t count = remaining < kBlock ? static_cast<size_t>(remaining) : kBlock;
      source.ReadExactly(inputs.data() + (batch + 1) * kBlock, count);
      counts[batch + 1] = count;
      remaining -= count;
    }
    const size_t half = batch / 2;
    {
      // std::async's future waits in its destructor: on every path, a failure here included,
      // the other half is done before the buffers can go.
      std::future<void> other;
      if (half != 0) {
        other = std::async(std::launch::async, [&] { compress(first_half, 0, half); });
      }
      compress(second_half, half, batch);
      if (other.valid()) other.get();
    }
    for (size_t i = 0; i < batch; ++i) out.Write(outputs.data() + i * kMostBlockBytes, lengths[i]);
    std::memcpy(inputs.data(), inputs.data() + batch * kBlock, counts[batch]);
    counts[0] = counts[batch];
  }
  source.ExpectEnd();

  const uint64_t cabinet_size = out.offset() - start;
  if (cabinet_size > 0xFFFFFFFFu) Fail("the setup program's cabinet is larger than 4 GiB");
  uint8_t size_field[4];
  Set32(size_field, static_cast<uint32_t>(cabinet_size));
  out.WriteAt(start + kCabinetSizeField, size_field, sizeof(size_field));
  return cabinet_size;
}

}  // namespace pack
