// Files on Windows: UTF-16 paths, handles, delete-on-interrupt through the console handler.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "file_io.h"
#include "pack_error.h"
#include "text.h"

namespace pack {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                  static_cast<int>(utf8.size()), nullptr, 0);
  if (units <= 0) Fail(Quoted(utf8) + " is not valid UTF-8 text");
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], units);
  return wide;
}

namespace {

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

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The temporary files alive now, for Ctrl-C or a closed console, which end the program before
// their owners' destructors run. Fixed slots, since the handler may only touch memory that is
// already there; each is long enough for any path Win32 takes.
constexpr int kSlots = 4;
constexpr size_t kSlotUnits = 32768;
struct Slot {
  std::atomic<bool> in_use{false};
  wchar_t path[kSlotUnits] = {};
};
Slot g_slots[kSlots];

BOOL WINAPI OnInterrupt(DWORD) {
  for (Slot& slot : g_slots) {
    if (slot.in_use.load()) DeleteFileW(slot.path);
  }
  return FALSE;  // and on to the default handler, which ends the process
}

int Register(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (wide.size() >= kSlotUnits) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].in_use.load()) continue;
    std::memcpy(g_slots[i].path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    g_slots[i].in_use.store(true);
    return i;
  }
  return -1;
}

void Unregister(int& slot) {
  if (slot >= 0) g_slots[slot].in_use.store(false);
  slot = -1;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A name in a folder: with a backslash, which every form of path takes (a "\\?\" path takes no
// forward slash at all).
std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (IsSeparator(folder.back()) || folder.back() == ':')) return folder + name;
  return folder + "\\" + name;
}

uint64_t Combine(DWORD high, DWORD low) { return static_cast<uint64_t>(high) << 32 | low; }

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  FileIdentity identity;
  identity.volume = info.dwVolumeSerialNumber;
  identity.file = Combine(info.nFileIndexHigh, info.nFileIndexLow);
  return identity;
}

}  // namespace

std::string LastReason() { return Reason(GetLastError()); }

void StartProcess() {
  // A console whose Ctrl-C was turned off for this process group (a background job) never calls
  // the handler for it; nothing else here can be ignored from outside.
  SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

InputFile::InputFile(const std::string& path, const std::string& what) : path_(path), what_(what) {
  const std::wstring wide = Wide(path);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      Fail(Named() + " is a folder, not a regular file");
    }
    Fail("cannot read " + Named() + ": " + Reason(error));
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  if (GetFileType(file) != FILE_TYPE_DISK) Fail(Named() + " is not a regular file");
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) {
    Fail("cannot read " + Named() + ": " + LastReason());
  }
  identity_ = IdentityOf(info);
  opened_ = Now();
  size_ = opened_.size;
}

InputFile::~InputFile() {
  if (view_ != nullptr) UnmapViewOfFile(view_);
  if (section_ != 0) CloseHandle(reinterpret_cast<HANDLE>(section_));
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

void ForgetPages(const uint8_t* data, size_t size) {
  // Unlocking pages that were never locked takes them out of the working set, which is all that
  // is wanted: a mapped file's pages come back from the file when read again.
  MEMORY_BASIC_INFORMATION region;
  if (size != 0 && VirtualQuery(data, &region, sizeof(region)) == sizeof(region) &&
      region.Type == MEM_MAPPED) {
    VirtualUnlock(const_cast<uint8_t*>(data), size);
  }
}

void InputFile::MapView() {
  // The file was opened denying writers, so the mapped bytes stay what they were.
  HANDLE section = CreateFileMappingW(AsHandle(handle_), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (section != nullptr) {
    section_ = reinterpret_cast<intptr_t>(section);
    view_ = MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0);
  }
}

InputFile::Stamp InputFile::Now() const {
  FILE_BASIC_INFO basic;
  LARGE_INTEGER size;
  if (!GetFileInformationByHandleEx(AsHandle(handle_), FileBasicInfo, &basic, sizeof(basic)) ||
      !GetFileSizeEx(AsHandle(handle_), &size)) {
    Fail("cannot read " + Named() + ": " + LastReason());
  }
  Stamp stamp;
  stamp.size = static_cast<uint64_t>(size.QuadPart);
  stamp.modified = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
  stamp.changed = static_cast<uint64_t>(basic.ChangeTime.QuadPart);
  return stamp;
}

namespace {

// Reads at `offset` whatever the file pointer says, so that a look at the headers (ReadAt) and
// the stream share the handle. `done` is 0 at the end of the file.
bool ReadAtOffset(HANDLE file, uint64_t offset, void* buffer, DWORD count, DWORD* done) {
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(offset);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  *done = 0;
  return ReadFile(file, buffer, count, done, &position) || GetLastError() == ERROR_HANDLE_EOF;
}

}  // namespace

void InputFile::ReadExactly(void* buffer, size_t count) {
  ReadAt(offset_, buffer, count);
  offset_ += count;
}

void InputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  auto* at = static_cast<unsigned char*>(buffer);
  if (offset > size_ || count > size_ - offset) Changed();
  while (count > 0) {
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!ReadAtOffset(AsHandle(handle_), offset, at, chunk, &done)) {
      Fail("cannot read " + Named() + ": " + LastReason());
    }
    if (done == 0) Changed();
    at += done;
    count -= done;
    offset += done;
  }
}

void InputFile::ExpectEnd() {
  unsigned char probe;
  DWORD done = 0;
  if (!ReadAtOffset(AsHandle(handle_), offset_, &probe, 1, &done)) {
    Fail("cannot read " + Named() + ": " + LastReason());
  }
  if (done != 0 || Now() != opened_) Changed();
}

OutputFile::OutputFile(const std::string& folder, const std::string& label, OutputKind kind)
    : folder_(folder), label_(label), kind_(kind) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name =
        HiddenName(attempt, GetCurrentProcessId(),
                   kind_ == OutputKind::kInstaller || kind_ == OutputKind::kForTool);
    const std::string path = Join(folder, name);
    // Delete sharing lets an interrupt's handler remove the file while it is still open here.
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      Failed("creating it in " + Quoted(folder));
    }
    name_ = name;
    path_ = path;
    slot_ = Register(path);
    if (kind == OutputKind::kForTool) {
      // The tool creates the file itself, and only where none exists yet.
      CloseHandle(file);
      DeleteFileW(Wide(path).c_str());
    } else {
      handle_ = reinterpret_cast<intptr_t>(file);
    }
    return;
  }
  Fail("cannot write " + Quoted(label) + ": no free temporary name in " + Quoted(folder));
}

OutputFile::~OutputFile() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
  if (!committed_ && !path_.empty()) DeleteFileW(Wide(path_).c_str());
  Unregister(slot_);
}

void OutputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (count > 0) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!WriteFile(AsHandle(handle_), from, chunk, &done, &position) || done == 0) Failed("");
    from += done;
    offset += done;
    count -= done;
  }
}

void OutputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  auto* to = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!ReadFile(AsHandle(handle_), to, chunk, &done, &position) || done == 0) {
      Failed("reading back what was written");
    }
    to += done;
    offset += done;
    count -= done;
  }
}

void OutputFile::Append(intptr_t from, uint64_t from_offset, uint64_t count, const Seer& see,
                        const std::function<void()>& ended) {
  if (buffer_.empty()) buffer_.resize(4 << 20);
  while (count > 0) {
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(from_offset);
    position.OffsetHigh = static_cast<DWORD>(from_offset >> 32);
    const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(count, buffer_.size()));
    DWORD got = 0;
    if (!ReadFile(AsHandle(from), buffer_.data(), piece, &got, &position)) {
      if (GetLastError() != ERROR_HANDLE_EOF) Failed("copying");
      got = 0;
    }
    if (got == 0) ended();
    see(buffer_.data(), got);
    Write(buffer_.data(), got);
    from_offset += got;
    count -= got;
  }
}

void OutputFile::See(uint64_t offset, uint64_t count, const Seer& see) {
  if (buffer_.empty()) buffer_.resize(4 << 20);
  while (count > 0) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, buffer_.size()));
    ReadAt(offset, buffer_.data(), piece);
    see(buffer_.data(), piece);
    offset += piece;
    count -= piece;
  }
}

void OutputFile::Name() {}

void OutputFile::Close() {
  if (handle_ == -1) return;
  HANDLE file = AsHandle(handle_);
  handle_ = -1;
  if (!CloseHandle(file)) Failed("closing it");
}

std::string OutputFile::CloseForOthers() {
  Close();
  return path_;
}

void OutputFile::Commit(const std::string& destination, bool replace) {
  if (handle_ != -1) {
    if (!FlushFileBuffers(AsHandle(handle_))) Failed("syncing it to the disk");
    Close();
  } else {
    // Written by another program since: flushed here before it replaces anything.
    HANDLE file = CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Failed("reopening it");
    const BOOL flushed = FlushFileBuffers(file);
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    if (!flushed) Failed("syncing it to the disk");
  }
  // Retry a few seconds: virus scanners and indexers open a new file the moment it appears, and
  // the destination may still be open in one.
  const std::wstring from = Wide(path_), to = Wide(destination);
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(),
                    (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH)) {
      break;
    }
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 50) {
      SetLastError(error);
      Failed("renaming it into place");
    }
    Sleep(100);
  }
  committed_ = true;
  Unregister(slot_);
}

std::string NativePath(const std::string& path) {
  std::string native = path;
  for (char& c : native) c = c == '/' ? '\\' : c;
  return native;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (slash == std::string::npos) return drive ? path.substr(0, 2) + "." : ".";
  // A root keeps its separator: "C:\", "\\?\C:\", "\".
  const std::string folder = path.substr(0, slash);
  if (folder.empty() || folder.back() == ':' || folder == "\\\\?" || folder == "//?") {
    return path.substr(0, slash + 1);
  }
  return folder;
}

bool ExistingOutput(const std::string& output, FileIdentity* identity) {
  const std::string folder = FolderOf(output);
  const DWORD folder_attributes = GetFileAttributesW(Wide(folder).c_str());
  if (folder_attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      Fail("output folder " + Quoted(folder) + " does not exist");
    }
    Fail("output folder " + Quoted(folder) + " cannot be used: " + Reason(error));
  }
  if (!(folder_attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    Fail("output folder " + Quoted(folder) + " is not a folder");
  }
  const std::string named = "output " + Quoted(output);
  const std::wstring wide = Wide(output);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) Fail(named + " is a folder");
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_READONLY)) {
    Fail(named + " is read-only: make it writable, or remove it, to replace it");
  }
  // Opened for no access at all, which nothing can deny, and through any link.
  HANDLE file = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(file);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (type != FILE_TYPE_DISK) Fail(named + " is not a regular file: only one is replaced");
  if (!known) return false;
  *identity = IdentityOf(info);
  return true;
}

uint64_t FileSize(const std::string& path, const std::string& label) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    Fail("cannot read " + Quoted(label) + ": " + LastReason());
  }
  return Combine(data.nFileSizeHigh, data.nFileSizeLow);
}

const char* GetEnvironment(const char* name, std::string* storage) {
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
}

}  // namespace pack
