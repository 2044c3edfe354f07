// Files as the packer uses them, the same on Linux and Windows: paths are UTF-8 everywhere
// (converted to UTF-16 for Win32), every failure is a PackError naming the user's own file.
// One implementation per platform: file_io_posix.cc and file_io_windows.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "byte_span.h"

namespace pack {

// What makes two paths one file, whatever their spelling or links: the device and inode on
// Linux, the volume serial number and file ID on Windows.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;
  uint64_t file_high = 0;  // the upper half of a 128-bit Windows file ID
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && file == other.file && file_high == other.file_high;
  }
};

// Once, first thing, on the main thread. An interrupt or terminating signal removes the
// temporary files before the program ends, except a signal that was ignored when the program
// started (nohup, a script's background job), which stays ignored. A closed standard output or a
// file-size limit becomes an error like any other rather than killing the program mid-write.
void StartProcess();

// A regular file opened for reading. Its size, identity and times are taken once, at open;
// ReadExactly() and ExpectEnd() fail when the file turns out longer or shorter than that, or was
// rewritten in the meantime, so a file that changes while it is packed is never written out
// half-old.
class InputFile {
 public:
  // `what` names the file in messages: "cannot read archive 'x.7z': No such file or directory".
  // A folder, device, FIFO or socket is refused at once, without waiting for a writer.
  InputFile(const std::string& path, const std::string& what);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // "archive 'x.7z'": the file as messages name it.
  std::string Named() const;
  const FileIdentity& identity() const { return identity_; }
  // Fills `buffer` with the next `count` bytes; fails when the file ends before them.
  void ReadExactly(void* buffer, size_t count);
  // The `count` bytes at `offset`, without moving on: a look at the headers before the file is
  // streamed. Fails as ReadExactly() does.
  void ReadAt(uint64_t offset, void* buffer, size_t count);
  // After the last byte: fails when the file has grown, or was written to, since it was opened.
  void ExpectEnd();
  // The whole file, for small inputs only; refuses one larger than `limit` bytes.
  std::vector<uint8_t> ReadAll(uint64_t limit);
  // The whole file read-only, for as long as this lives: mapped where the system can (the page
  // cache, not a copy; read through a buffer where it cannot). Nothing can change it under the
  // mapping on Windows, which denies writers; on Linux a file cut short meanwhile reads as zeros
  // past its new end instead of ending the program, and ExpectEnd(), due after the last look,
  // then fails as it does for any change.
  ByteSpan Map();

 private:
  // Size, modification and change time, as the platform reports them at one moment.
  struct Stamp {
    uint64_t size = 0, modified = 0, modified_fraction = 0, changed = 0, changed_fraction = 0;
    bool operator!=(const Stamp& o) const {
      return size != o.size || modified != o.modified || modified_fraction != o.modified_fraction ||
             changed != o.changed || changed_fraction != o.changed_fraction;
    }
  };
  Stamp Now() const;
  [[noreturn]] void Changed() const;
  // Sets view_ to a read-only mapping of the whole file where the platform makes one.
  void MapView();

  friend class OutputFile;  // which copies from it (AppendFrom)

  std::string path_;
  std::string what_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  intptr_t handle_ = -1;
  FileIdentity identity_;
  Stamp opened_;
  void* view_ = nullptr;  // Map()'s mapping, and on Windows its section
  intptr_t section_ = 0;
  std::vector<uint8_t> copy_;  // Map()'s bytes where the file cannot be mapped
};

enum class OutputKind {
  kScratch,    // read back by this program only, never committed (the setup program's cabinet)
  kInstaller,  // written here, then committed as an executable
  kData,       // written here, then committed as a file nobody runs (0666 less the umask)
  kForTool,    // only a free name, for another program to create (a signing tool's output)
};

// A file written from the start, with a pass back to patch fields known only at the end. It is
// made new in a folder and never replaces anything before Commit(): on Linux without any name
// where the file system allows it (so that nothing is left even after SIGKILL or a power cut),
// else under a short hidden name that an interrupt's handler can always remove, however long the
// folder's path. The destructor deletes it unless Commit() put it in place.
class OutputFile {
 public:
  // `label` names the file in messages: the user's own --output, not the temporary name.
  OutputFile(const std::string& folder, const std::string& label, OutputKind kind);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  uint64_t offset() const { return offset_; }
  void Write(const void* data, size_t count);
  void WriteZeros(uint64_t count);
  // Overwrites bytes already written; the next Write() goes on at the end.
  void WriteAt(uint64_t offset, const void* data, size_t count);
  // Reading back what was written (the cabinet is read back as the installer is written).
  void ReadAt(uint64_t offset, void* buffer, size_t count);
  // Appends the next `count` bytes of `file`, or the first `count` bytes of `written`, showing
  // each piece to `see` as it lands, in order (the checksum). On Linux the kernel copies them and
  // `see` reads them from the output's own pages: nothing passes through this program twice, and
  // what is seen is exactly what was written.
  using Seer = std::function<void(const uint8_t*, size_t)>;
  void AppendFrom(InputFile& file, uint64_t count, const Seer& see);
  void AppendFrom(OutputFile& written, uint64_t count, const Seer& see);
  // Shows `count` bytes already written, from `offset`, to `see` in order: on Linux from the
  // file's own pages, not copied.
  void See(uint64_t offset, uint64_t count, const Seer& see);
  // Gives the file a name beside the destination and closes it, every write checked, for another
  // program (a signing tool) to work on. Returns that path.
  std::string CloseForOthers();
  // Its path, for a kForTool file.
  const std::string& path() const { return path_; }
  // Syncs the data to the disk, closes the file (checked), and renames it over `destination` in
  // one step, retried for a few seconds where a virus scanner may hold the destination. With
  // `replace` false, a file already at `destination` (under any name that reaches it: another
  // case, an 8.3 short name) makes it fail instead.
  void Commit(const std::string& destination, bool replace = true);

 private:
  void Name();
  void Close();
  // The platform's copy of `count` bytes of the file `from`, at `from_offset`, to the end;
  // `ended` reports a source that ends before them.
  void Append(intptr_t from, uint64_t from_offset, uint64_t count, const Seer& see,
              const std::function<void()>& ended);
  [[noreturn]] void Failed(const std::string& doing) const;

  std::string folder_;
  std::string label_;
  OutputKind kind_;
  std::string name_;  // the hidden name in the folder; empty while the file has none
  std::string path_;  // folder and name
  uint64_t offset_ = 0;
  intptr_t handle_ = -1;
  intptr_t folder_handle_ = -1;
  bool committed_ = false;
  bool kernel_copy_ = true;      // until the file systems turn out not to copy between them
  std::vector<uint8_t> buffer_;  // for copies through this program
  int slot_ = -1;  // where an interrupt finds the name, to remove the file
};

// The path as the platform's own programs expect it: with backslashes on Windows, whose tools
// may take a word starting with / for a switch.
std::string NativePath(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

// Checks --output before anything is written, so that the real reason comes first: its folder
// exists, is a folder and can be searched; the output is not a folder, device, FIFO or socket,
// not read-only, and not the same file as any input (by identity, through any spelling or link).
void CheckOutput(const std::string& output, const std::vector<const InputFile*>& inputs);

// The platform's half of CheckOutput: every check but the identity, which it returns when the
// output exists (through any link).
bool ExistingOutput(const std::string& output, FileIdentity* identity);

// The size of a finished file at `path`, for the check of a signed installer's size.
uint64_t FileSize(const std::string& path, const std::string& label);

// The environment variable's value, or nullptr when unset (UTF-8 on both builds).
const char* GetEnvironment(const char* name, std::string* storage);

// Writes to standard output, and at the end fails when anything written there was lost (a full
// disk, a closed pipe): exit 0 must mean the output arrived.
void PrintOut(const std::string& text);
void FinishOutput();

// The platform's last error (errno, GetLastError()) as text, for messages.
std::string LastReason();

// A hidden name for a temporary file; unique among packers running at once in one folder. A
// `program` ends in ".exe", for signing tools that go by the name.
std::string HiddenName(int attempt, unsigned long long process_id, bool program);

#ifdef _WIN32
// UTF-8 as the UTF-16 Win32 takes; fails on bytes that are not UTF-8.
std::wstring Wide(const std::string& utf8);
#endif

}  // namespace pack
