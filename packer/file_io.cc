#include "file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "pack_error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pack {

#ifdef _WIN32
std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                  static_cast<int>(utf8.size()), nullptr, 0);
  if (units <= 0) Fail(utf8 + " is not valid UTF-8 text");
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], units);
  return wide;
}
#endif

namespace {

#ifdef _WIN32
std::string Reason(DWORD error) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason;
  if (length > 0 && text != nullptr) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
    reason.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &reason[0], bytes, nullptr,
                        nullptr);
  }
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == '.' || reason.back() == ' ')) {
    reason.pop_back();
  }
  return reason.empty() ? "error " + std::to_string(error) : reason;
}

std::string LastReason() { return Reason(GetLastError()); }
HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
#else
std::string LastReason() { return std::strerror(errno); }
#endif

// Temporary names need only be unique among packers running at once in one folder; nothing of
// them reaches the installer.
std::string UniqueTag(int attempt) {
  static std::atomic<unsigned> counter{0};
  unsigned long long seed =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
#ifdef _WIN32
  seed ^= static_cast<unsigned long long>(GetCurrentProcessId()) << 20;
#else
  seed ^= static_cast<unsigned long long>(getpid()) << 20;
#endif
  seed += counter++ * 7919u + static_cast<unsigned>(attempt);
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string tag;
  for (int i = 0; i < 8; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    tag += kDigits[(seed >> 33) % 36];
  }
  return tag;
}

// The temporary files alive now, for an interrupt (Ctrl-C, a terminating signal) that ends the
// program before their owners' destructors run: a half-written gigabyte must not stay behind.
// Fixed slots, since the handler may only touch memory that is already there.
constexpr int kSlots = 4;
constexpr size_t kSlotUnits = 1024;
#ifdef _WIN32
using SlotChar = wchar_t;
#else
using SlotChar = char;
#endif
SlotChar g_temporaries[kSlots][kSlotUnits];
std::atomic<bool> g_in_use[kSlots];

void RemoveTemporaries() {
  for (int i = 0; i < kSlots; ++i) {
    if (!g_in_use[i].load()) continue;
#ifdef _WIN32
    DeleteFileW(g_temporaries[i]);
#else
    unlink(g_temporaries[i]);
#endif
  }
}

#ifdef _WIN32
BOOL WINAPI OnInterrupt(DWORD) {
  RemoveTemporaries();
  return FALSE;  // and on to the default handler, which ends the process
}
#else
void OnSignal(int number) {
  RemoveTemporaries();
  std::signal(number, SIG_DFL);
  std::raise(number);
}
#endif

int Register(const std::string& path) {
  static bool installed = false;
  if (!installed) {
    installed = true;
#ifdef _WIN32
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
#else
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(number, OnSignal);
#endif
  }
#ifdef _WIN32
  std::wstring name = Wide(path);
#else
  const std::string& name = path;
#endif
  if (name.size() >= kSlotUnits) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (g_in_use[i].load()) continue;
    std::copy(name.begin(), name.end(), g_temporaries[i]);
    g_temporaries[i][name.size()] = 0;
    g_in_use[i].store(true);
    return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0) g_in_use[slot].store(false);
}

// Closes an open handle or descriptor and marks it closed.
void CloseFile(intptr_t& handle) {
  if (handle == -1) return;
#ifdef _WIN32
  CloseHandle(AsHandle(handle));
#else
  close(static_cast<int>(handle));
#endif
  handle = -1;
}

}  // namespace

InputFile::InputFile(const std::string& path, const std::string& what) : path_(path), what_(what) {
#ifdef _WIN32
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      Fail(what + " " + path + " is not a regular file");
    }
    Fail("cannot read " + what + " " + path + ": " + Reason(error));
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  if (GetFileType(file) != FILE_TYPE_DISK) Fail(what + " " + path + " is not a regular file");
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) Fail("cannot read " + what + " " + path + ": " + LastReason());
  size_ = static_cast<uint64_t>(size.QuadPart);
#else
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot read " + what + " " + path + ": " + LastReason());
  handle_ = fd;
  struct stat info;
  if (fstat(fd, &info) != 0) Fail("cannot read " + what + " " + path + ": " + LastReason());
  if (!S_ISREG(info.st_mode)) Fail(what + " " + path + " is not a regular file");
  size_ = static_cast<uint64_t>(info.st_size);
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
#endif
}

InputFile::~InputFile() { CloseFile(handle_); }

void InputFile::ReadExactly(void* buffer, size_t count) {
  auto* at = static_cast<unsigned char*>(buffer);
  if (offset_ + count > size_) Fail(what_ + " " + path_ + " changed while it was packed");
  while (count > 0) {
#ifdef _WIN32
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!ReadFile(AsHandle(handle_), at, chunk, &done, nullptr)) {
      Fail("cannot read " + what_ + " " + path_ + ": " + LastReason());
    }
#else
    ssize_t done = read(static_cast<int>(handle_), at, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read " + what_ + " " + path_ + ": " + LastReason());
    }
#endif
    if (done == 0) Fail(what_ + " " + path_ + " changed while it was packed");
    at += done;
    count -= static_cast<size_t>(done);
    offset_ += static_cast<uint64_t>(done);
  }
}

void InputFile::ExpectEnd() {
  unsigned char probe;
#ifdef _WIN32
  DWORD done = 0;
  if (!ReadFile(AsHandle(handle_), &probe, 1, &done, nullptr)) {
    Fail("cannot read " + what_ + " " + path_ + ": " + LastReason());
  }
#else
  ssize_t done;
  do {
    done = read(static_cast<int>(handle_), &probe, 1);
  } while (done < 0 && errno == EINTR);
  if (done < 0) Fail("cannot read " + what_ + " " + path_ + ": " + LastReason());
#endif
  if (done != 0) Fail(what_ + " " + path_ + " changed while it was packed");
}

std::vector<uint8_t> InputFile::ReadAll(uint64_t limit) {
  if (size_ > limit) {
    Fail(what_ + " " + path_ + " is " + std::to_string(size_) + " bytes; at most " +
         std::to_string(limit));
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size_));
  if (!bytes.empty()) ReadExactly(bytes.data(), bytes.size());
  ExpectEnd();
  return bytes;
}

OutputFile::OutputFile(const std::string& folder, const std::string& suffix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = folder + "/.tamrel-pack-" + UniqueTag(attempt) + suffix;
#ifdef _WIN32
    // Delete sharing lets an interrupt's handler remove the file while it is still open here.
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      Fail("cannot write in " + folder + ": " + LastReason());
    }
    handle_ = reinterpret_cast<intptr_t>(file);
#else
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      Fail("cannot write in " + folder + ": " + LastReason());
    }
    handle_ = fd;
#endif
    path_ = path;
    slot_ = Register(path);
    return;
  }
  Fail("cannot write in " + folder + ": no free temporary name");
}

OutputFile::~OutputFile() {
  Close();
  if (!committed_ && !path_.empty()) RemoveFile(path_);
  Unregister(slot_);
}

void OutputFile::Close() { CloseFile(handle_); }

namespace {
void WriteAll(intptr_t handle, const std::string& path, const void* data, size_t count,
              const uint64_t* at) {
  const auto* from = static_cast<const unsigned char*>(data);
#ifdef _WIN32
  if (at != nullptr) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(*at);
    if (!SetFilePointerEx(AsHandle(handle), position, nullptr, FILE_BEGIN)) {
      Fail("cannot write " + path + ": " + LastReason());
    }
  }
  while (count > 0) {
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle), from, chunk, &done, nullptr) || done == 0) {
      Fail("cannot write " + path + ": " + LastReason());
    }
    from += done;
    count -= done;
  }
#else
  off_t offset = at != nullptr ? static_cast<off_t>(*at) : 0;
  while (count > 0) {
    ssize_t done = at != nullptr ? pwrite(static_cast<int>(handle), from, count, offset)
                                 : write(static_cast<int>(handle), from, count);
    if (done < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write " + path + ": " + LastReason());
    }
    if (done == 0) Fail("cannot write " + path + ": no room");
    from += done;
    offset += done;
    count -= static_cast<size_t>(done);
  }
#endif
}
}  // namespace

void OutputFile::Write(const void* data, size_t count) {
  WriteAll(handle_, path_, data, count, nullptr);
  offset_ += count;
}

void OutputFile::WriteZeros(uint64_t count) {
  static const unsigned char kZeros[4096] = {};
  while (count > 0) {
    size_t chunk = count > sizeof(kZeros) ? sizeof(kZeros) : static_cast<size_t>(count);
    Write(kZeros, chunk);
    count -= chunk;
  }
}

void OutputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  WriteAll(handle_, path_, data, count, &offset);
#ifdef _WIN32
  // Win32 has one file pointer: put it back at the end for the next Write().
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(offset_);
  SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN);
#endif
}

void OutputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  auto* to = static_cast<unsigned char*>(buffer);
  while (count > 0) {
#ifdef _WIN32
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!ReadFile(AsHandle(handle_), to, chunk, &done, &position) || done == 0) {
      Fail("cannot read back " + path_ + ": " + LastReason());
    }
#else
    ssize_t done = pread(static_cast<int>(handle_), to, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) Fail("cannot read back " + path_ + ": " + LastReason());
#endif
    to += done;
    offset += static_cast<uint64_t>(done);
    count -= static_cast<size_t>(done);
  }
#ifdef _WIN32
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(offset_);
  SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN);
#endif
}

void OutputFile::Commit(const std::string& destination) {
#ifdef _WIN32
  if (handle_ != -1 && !FlushFileBuffers(AsHandle(handle_))) {
    Fail("cannot write " + destination + ": " + LastReason());
  }
  Close();
  if (!MoveFileExW(Wide(path_).c_str(), Wide(destination).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail("cannot write " + destination + ": " + LastReason());
  }
#else
  if (handle_ != -1) {
    if (fchmod(static_cast<int>(handle_), 0755) != 0) {
      Fail("cannot write " + destination + ": " + LastReason());
    }
    Close();
  } else if (chmod(path_.c_str(), 0755) != 0) {
    Fail("cannot write " + destination + ": " + LastReason());
  }
  if (rename(path_.c_str(), destination.c_str()) != 0) {
    Fail("cannot write " + destination + ": " + LastReason());
  }
#endif
  committed_ = true;
  Unregister(slot_);
  slot_ = -1;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of(
#ifdef _WIN32
      "/\\:"
#else
      "/"
#endif
  );
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
  if (path[slash] == ':') return path.substr(0, slash + 1) + ".";
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
#endif
  return path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
#ifdef _WIN32
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
#endif
}

bool Exists(const std::string& path) {
#ifdef _WIN32
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
#endif
}

void RemoveFile(const std::string& path) {
#ifdef _WIN32
  DeleteFileW(Wide(path).c_str());
#else
  unlink(path.c_str());
#endif
}

const char* GetEnvironment(const char* name, std::string* storage) {
#ifdef _WIN32
  std::wstring wide_name = Wide(name);
  DWORD units = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (units == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? nullptr : "";
  std::wstring value(units, L'\0');
  units = GetEnvironmentVariableW(wide_name.c_str(), &value[0], units);
  value.resize(units);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                  nullptr, 0, nullptr, nullptr);
  storage->assign(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), &(*storage)[0],
                      bytes, nullptr, nullptr);
  return storage->c_str();
#else
  const char* value = getenv(name);
  if (value == nullptr) return nullptr;
  storage->assign(value);
  return storage->c_str();
#endif
}

}  // namespace pack
