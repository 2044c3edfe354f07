// Files as the packer uses them, the same on Linux and Windows: paths are UTF-8 everywhere
// (converted to UTF-16 for Win32), every failure is a PackError naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pack {

// A regular file opened for reading. Its size is read once, at open; Read() and ReadAll() fail
// when the file turns out longer or shorter than that, so a file that changes while it is packed
// is never written out half-old.
class InputFile {
 public:
  // `what` names the file in messages: "cannot read archive x.7z: No such file or directory".
  InputFile(const std::string& path, const std::string& what);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  uint64_t size() const { return size_; }
  const std::string& path() const { return path_; }
  // Fills `buffer` with the next `count` bytes; fails when the file ends before them.
  void ReadExactly(void* buffer, size_t count);
  // After the last byte: fails when the file has grown since it was opened.
  void ExpectEnd();
  // The whole file, for small inputs only; refuses one larger than `limit` bytes.
  std::vector<uint8_t> ReadAll(uint64_t limit);

 private:
  std::string path_;
  std::string what_;
  uint64_t size_ = 0;
  uint64_t offset_ = 0;
  intptr_t handle_ = -1;
};

// A file written from the start, with a pass back to patch fields known only at the end.
// Created new (never replacing anything) under a unique temporary name in a given folder; the
// destructor deletes it unless Commit() renamed it into place.
class OutputFile {
 public:
  // A fresh file named `<folder>/.tamrel-pack-XXXXXX<suffix>`.
  OutputFile(const std::string& folder, const std::string& suffix);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  uint64_t offset() const { return offset_; }
  void Write(const void* data, size_t count);
  void WriteZeros(uint64_t count);
  // Overwrites bytes already written; the next Write() goes on at the end.
  void WriteAt(uint64_t offset, const void* data, size_t count);
  // Reading back what was written (the cabinet is read back as the installer is written).
  void ReadAt(uint64_t offset, void* buffer, size_t count);
  // Flushes, closes, marks it executable and renames it over `destination` in one step.
  void Commit(const std::string& destination);
  // Closes the file but keeps it: another program (a signing tool) works on it next.
  void Close();

 private:
  std::string path_;
  uint64_t offset_ = 0;
  intptr_t handle_ = -1;
  bool committed_ = false;
  int slot_ = -1;  // where an interrupt finds the name, to remove the file

};

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);
bool IsFolder(const std::string& path);
bool Exists(const std::string& path);
void RemoveFile(const std::string& path);  // no error when it is gone already
// The environment variable's value, or nullptr when unset (UTF-8 on both builds).
const char* GetEnvironment(const char* name, std::string* storage);

#ifdef _WIN32
// UTF-8 as the UTF-16 Win32 takes; fails on bytes that are not UTF-8.
std::wstring Wide(const std::string& utf8);
#endif

}  // namespace pack
