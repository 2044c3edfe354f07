// The parts of file_io.h that are the same on every platform.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "pack_error.h"
#include "text.h"

namespace pack {

std::string HiddenName(int attempt, unsigned long long process_id, bool program) {
  static std::atomic<unsigned> counter{0};
  unsigned long long seed =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  seed ^= process_id << 20;
  seed += counter++ * 7919u + static_cast<unsigned>(attempt);
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = ".tamrel-pack-";
  for (int i = 0; i < 8; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    name += kDigits[(seed >> 33) % 36];
  }
  return name + (program ? ".exe" : ".tmp");
}

std::string InputFile::Named() const { return what_ + " " + Quoted(path_); }

void InputFile::Changed() const { Fail(Named() + " changed while it was packed"); }

std::vector<uint8_t> InputFile::ReadAll(uint64_t limit) {
  if (size_ > limit) {
    Fail(Named() + " is " + std::to_string(size_) + " bytes; at most " + std::to_string(limit));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size_));
  if (!bytes.empty()) ReadExactly(bytes.data(), bytes.size());
  ExpectEnd();
  return bytes;
}

void OutputFile::Failed(const std::string& doing) const {
  const std::string reason = LastReason();
  Fail("cannot write " + Quoted(label_) + (doing.empty() ? "" : " (" + doing + ")") + ": " +
       reason);
}

void OutputFile::Write(const void* data, size_t count) {
  WriteAt(offset_, data, count);
  offset_ += count;
}

void OutputFile::AppendFrom(InputFile& file, uint64_t count, const Seer& see) {
  if (file.offset_ + count > file.size_) file.Changed();
  Append(file.handle_, file.offset_, count, see, [&file] { file.Changed(); });
  file.offset_ += count;
}

void OutputFile::AppendFrom(OutputFile& written, uint64_t count, const Seer& see) {
  Append(written.handle_, 0, count, see, [&written] {
    Fail("cannot write " + Quoted(written.label_) + ": a temporary file of its own ended early");
  });
}

void OutputFile::WriteZeros(uint64_t count) {
  static const unsigned char kZeros[4096] = {};
  while (count > 0) {
    size_t chunk = count > sizeof(kZeros) ? sizeof(kZeros) : static_cast<size_t>(count);
    Write(kZeros, chunk);
    count -= chunk;
  }
}

void CheckOutput(const std::string& output, const std::vector<const InputFile*>& inputs) {
  FileIdentity identity;
  if (!ExistingOutput(output, &identity)) return;
  for (const InputFile* input : inputs) {
    if (input->identity() == identity) {
      Fail("output " + Quoted(output) + " is the same file as the " + input->Named() +
           ": the installer would replace its own input");
    }
  }
}

void PrintOut(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void FinishOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Fail(std::string("cannot write to standard output: ") +
         (errno != 0 ? std::strerror(errno) : "write error"));
  }
}

ByteSpan InputFile::Map() {
  offset_ = size_;  // the whole file is taken: ExpectEnd() looks past it
  if (size_ == 0) return ByteSpan();
  if (view_ == nullptr && copy_.empty() && size_ <= static_cast<uint64_t>(SIZE_MAX)) MapView();
  if (view_ != nullptr) {
    return ByteSpan(static_cast<const uint8_t*>(view_), static_cast<size_t>(size_));
  }
  if (copy_.empty()) {
    // A file system that cannot map its files, no room in the address space, or a second
    // mapping: read through a buffer instead.
    copy_.resize(static_cast<size_t>(size_));
    ReadAt(0, copy_.data(), copy_.size());
  }
  return ByteSpan(copy_.data(), copy_.size());
}

}  // namespace pack
