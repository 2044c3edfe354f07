#include "cabinet_reader.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "cabinet_writer.h"

namespace pack {
namespace {

constexpr size_t kBlock = 32768;
constexpr uint16_t kPreviousCabinet = 1, kNextCabinet = 2, kReserve = 4;

uint32_t Checksum(ByteSpan bytes, uint32_t seed) {
  return CabinetChecksum(bytes.data(), bytes.size(), seed);
}

class Inflater {
 public:
  Inflater() { ok_ = inflateInit2(&stream_, -15) == Z_OK; }
  ~Inflater() {
    if (ok_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // One block's raw deflate stream, which may refer back into `history`, into exactly
  // `expected` bytes of `out`.
  bool Block(ByteSpan input, const uint8_t* history, size_t history_size, uint8_t* out,
             size_t expected) {
    if (!ok_ || inflateReset(&stream_) != Z_OK) return false;
    if (history_size != 0 &&
        inflateSetDictionary(&stream_, history, static_cast<uInt>(history_size)) != Z_OK) {
      return false;
    }
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(expected);
    const int result = inflate(&stream_, Z_FINISH);
    return result == Z_STREAM_END && stream_.avail_out == 0;
  }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

}  // namespace

std::string ReadCabinet(ByteSpan cabinet, const std::function<void(const uint8_t*, size_t)>& sink,
                        CabinetContents* contents) {
  uint32_t signature, declared, first_file;
  uint16_t folders, files, flags;
  if (!cabinet.Read32(0, &signature) || signature != 0x4643534D) return "not a cabinet";
  if (!cabinet.Read32(8, &declared) || !cabinet.Read32(16, &first_file) ||
      !cabinet.Read16(26, &folders) || !cabinet.Read16(28, &files) ||
      !cabinet.Read16(30, &flags)) {
    return "the cabinet's header is cut short";
  }
  if (declared > cabinet.size()) return "the cabinet is shorter than its header says";
  cabinet = ByteSpan(cabinet.data(), declared);
  if (flags & (kPreviousCabinet | kNextCabinet)) return "the cabinet continues in another";
  uint64_t at = 36;
  uint8_t folder_reserve = 0, block_reserve = 0;
  if (flags & kReserve) {
    uint16_t header_reserve;
    if (!cabinet.Read16(36, &header_reserve) || !cabinet.Read8(38, &folder_reserve) ||
        !cabinet.Read8(39, &block_reserve)) {
      return "the cabinet's header is cut short";
    }
    at = 40 + uint64_t{header_reserve};
  }
  if (folders == 0 || files == 0) return "the cabinet holds no file";

  // The first file entry: size, offset in its folder, folder, date, time, attributes, name.
  uint32_t size, offset;
  uint16_t folder;
  if (!cabinet.Read32(first_file, &size) || !cabinet.Read32(first_file + 4ull, &offset) ||
      !cabinet.Read16(first_file + 8ull, &folder)) {
    return "the cabinet's file entry is cut short";
  }
  ByteSpan name_bytes = cabinet.From(first_file + 16ull);
  size_t name_length = 0;
  while (name_length < name_bytes.size() && name_length < 256 && name_bytes.data()[name_length]) {
    ++name_length;
  }
  if (name_length == name_bytes.size() || name_length == 256) {
    return "the cabinet's file name is not terminated";
  }
  contents->name.assign(reinterpret_cast<const char*>(name_bytes.data()), name_length);
  contents->declared_size = size;
  if (folder >= folders) return "the cabinet's file lies in no folder of this cabinet";

  const uint64_t folder_entry = at + uint64_t{folder} * (8 + folder_reserve);
  uint32_t data_offset;
  uint16_t block_count, compression;
  if (!cabinet.Read32(folder_entry, &data_offset) || !cabinet.Read16(folder_entry + 4, &block_count) ||
      !cabinet.Read16(folder_entry + 6, &compression)) {
    return "the cabinet's folder entry is cut short";
  }
  if ((compression & 0xF) > 1) return "the cabinet's folder is compressed other than by MSZIP";
  const bool mszip = (compression & 0xF) == 1;

  std::vector<uint8_t> buffers(2 * kBlock);
  uint8_t* output = buffers.data();
  uint8_t* history = buffers.data() + kBlock;
  size_t history_size = 0;
  uint64_t folder_offset = 0;  // of the folder's uncompressed stream, at this block
  const uint64_t file_end = uint64_t{offset} + size;
  Inflater inflater;
  at = data_offset;
  for (uint32_t block = 0; block < block_count; ++block) {
    const std::string which = "the cabinet's data block " + std::to_string(block + 1);
    uint32_t checksum;
    uint16_t compressed, uncompressed;
    ByteSpan sizes, data;
    if (!cabinet.Read32(at, &checksum) || !cabinet.Sub(at + 4, 4 + uint64_t{block_reserve}, &sizes) ||
        !cabinet.Read16(at + 4, &compressed) || !cabinet.Read16(at + 6, &uncompressed) ||
        !cabinet.Sub(at + 8 + block_reserve, compressed, &data)) {
      return which + " is cut short";
    }
    at += 8 + uint64_t{block_reserve} + compressed;
    // Over the data, then the two sizes and the block's reserved bytes; 0 is "none", as the
    // format allows.
    if (checksum != 0 && Checksum(sizes, Checksum(data, 0)) != checksum) {
      return which + " has a wrong checksum";
    }
    if (uncompressed > kBlock) return which + " holds more than 32 KiB";
    if (mszip) {
      uint16_t ck;
      if (!data.Read16(0, &ck) || ck != 0x4B43) return which + " does not begin with \"CK\"";
      if (!inflater.Block(data.From(2), history, history_size, output, uncompressed)) {
        return which + " does not inflate to the size it declares";
      }
    } else {
      if (compressed != uncompressed) return which + " is stored but changes size";
      std::copy(data.data(), data.data() + data.size(), output);
    }
    // The part of this block that belongs to the first file.
    const uint64_t block_end = folder_offset + uncompressed;
    const uint64_t from = std::max<uint64_t>(folder_offset, offset);
    const uint64_t to = std::min<uint64_t>(block_end, file_end);
    if (from < to) sink(output + (from - folder_offset), static_cast<size_t>(to - from));
    folder_offset = block_end;
    std::swap(output, history);
    history_size = uncompressed;
    ++contents->blocks;
  }
  if (folder_offset < file_end) {
    return "the cabinet's blocks hold " + std::to_string(folder_offset) +
           " bytes, short of the file's declared end at " + std::to_string(file_end);
  }
  return "";
}

}  // namespace pack
