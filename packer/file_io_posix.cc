// Files on Linux (and any POSIX system): descriptors, the folder held open for names relative to
// it, O_TMPFILE where the file system has it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_io.h"
#include "pack_error.h"
#include "text.h"

namespace pack {

std::string LastReason() { return std::strerror(errno); }

namespace {


mode_t g_umask = 022;

// The temporary files that have a name now, for a signal that ends the program before their
// owners' destructors run: a half-written gigabyte must not stay behind. Fixed slots, since the
// handler may only touch memory that is already there; each holds the folder's descriptor and a
// short name in it, so that any folder, however long its path, is covered.
constexpr int kSlots = 4;
struct Slot {
  std::atomic<bool> in_use{false};
  int folder = -1;
  char name[64] = {};
};
Slot g_slots[kSlots];

void RemoveTemporaries() {
  for (Slot& slot : g_slots) {
    if (slot.in_use.load()) unlinkat(slot.folder, slot.name, 0);
  }
}

void OnSignal(int number) {
  RemoveTemporaries();
  std::signal(number, SIG_DFL);
  std::raise(number);
}

int Register(int folder, const std::string& name) {
  if (name.size() >= sizeof(Slot::name)) return -1;
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].in_use.load()) continue;
    g_slots[i].folder = folder;
    std::memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
    g_slots[i].in_use.store(true);
    return i;
  }
  return -1;
}

void Unregister(int& slot) {
  if (slot >= 0) g_slots[slot].in_use.store(false);
  slot = -1;
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// The one mapping Map() hands out, for the handler of SIGBUS: a page of it that the file no longer
// has (cut short since) is replaced by a page of zeros, and the read goes on to ExpectEnd(),
// which reports the change. A fault anywhere else is no business of this handler.
std::atomic<uintptr_t> g_view_begin{0}, g_view_end{0};
std::atomic<bool> g_view_lost{false};
std::atomic<uintptr_t> g_page{4096};

void OnBusError(int number, siginfo_t* info, void*) {
  const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t page = g_page.load();
  if (at >= g_view_begin.load() && at < g_view_end.load() &&
      mmap(reinterpret_cast<void*>(at / page * page), page, PROT_READ,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
    g_view_lost.store(true);
    return;
  }
  std::signal(number, SIG_DFL);
  std::raise(number);
}

}  // namespace

void ForgetPages(const uint8_t* data, size_t size) {
  const uintptr_t page = g_page.load();
  const uintptr_t begin = std::max(reinterpret_cast<uintptr_t>(data), g_view_begin.load());
  const uintptr_t end = std::min(reinterpret_cast<uintptr_t>(data) + size, g_view_end.load());
  // Whole pages only, and only the mapping's: on memory of the program's own this would discard
  // what it holds.
  const uintptr_t first = (begin + page - 1) / page * page, last = end / page * page;
  if (g_view_begin.load() != 0 && first < last) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  }
}

namespace {

// Renames without replacing anything: in one step where the file system can, else as a link,
// which fails just the same on a name that exists, and the old name's removal.
bool RenameNew(int folder, const std::string& name, const std::string& destination) {
  if (renameat2(folder, name.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (linkat(folder, name.c_str(), AT_FDCWD, destination.c_str(), 0) != 0) return false;
  unlinkat(folder, name.c_str(), 0);
  return true;
}

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(info.st_dev);
  identity.file = static_cast<uint64_t>(info.st_ino);
  return identity;
}

}  // namespace

void StartProcess() {
  g_umask = umask(022);
  umask(g_umask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    if (sigaction(number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    std::signal(number, OnSignal);
  }
  // Writes past a closed pipe or a file-size limit then fail with EPIPE or EFBIG, reported and
  // cleaned up like a full disk. Children get the defaults back (process_posix.cc).
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

InputFile::InputFile(const std::string& path, const std::string& what) : path_(path), what_(what) {
  // Not blocking: a FIFO without a writer would wait in open() for ever.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    struct stat info;
    if (errno == ENXIO && stat(path.c_str(), &info) == 0) {
      Fail(Named() + " is " + KindOf(info.st_mode) + ", not a regular file");
    }
    Fail("cannot read " + Named() + ": " + LastReason());
  }
  handle_ = fd;
  struct stat info;
  if (fstat(fd, &info) != 0) Fail("cannot read " + Named() + ": " + LastReason());
  if (!S_ISREG(info.st_mode)) Fail(Named() + " is " + KindOf(info.st_mode) + ", not a regular file");
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  identity_ = IdentityOf(info);
  opened_ = Now();
  size_ = opened_.size;
  // Files of /proc and /sys claim 0 bytes and then have some: their size is not known before
  // they are read, and it is needed before anything is written.
  char probe;
  if (size_ == 0 && pread(fd, &probe, 1, 0) > 0) {
    Fail(Named() + " says it is empty but has data (a file of /proc or /sys?): its size must be "
         "known before it is packed; copy it to a regular file first");
  }
#ifdef POSIX_FADV_SEQUENTIAL
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

InputFile::~InputFile() {
  if (view_ != nullptr) {
    munmap(view_, static_cast<size_t>(size_));
    g_view_begin.store(0);
    g_view_end.store(0);
  }
  if (handle_ != -1) close(static_cast<int>(handle_));
}

void InputFile::MapView() {
  // One mapping at a time: the bus-error handler guards one.
  if (g_view_begin.load() != 0) return;
  void* view = mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_SHARED,
                    static_cast<int>(handle_), 0);
  if (view == MAP_FAILED) return;
  static const bool guarded = [] {
    g_page.store(static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)));
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  if (!guarded) {
    munmap(view, static_cast<size_t>(size_));
    return;
  }
  view_ = view;
  g_view_lost.store(false);
  g_view_begin.store(reinterpret_cast<uintptr_t>(view));
  g_view_end.store(reinterpret_cast<uintptr_t>(view) + static_cast<size_t>(size_));
}

InputFile::Stamp InputFile::Now() const {
  struct stat info;
  if (fstat(static_cast<int>(handle_), &info) != 0) {
    Fail("cannot read " + Named() + ": " + LastReason());
  }
  Stamp stamp;
  stamp.size = static_cast<uint64_t>(info.st_size);
  stamp.modified = static_cast<uint64_t>(info.st_mtim.tv_sec);
  stamp.modified_fraction = static_cast<uint64_t>(info.st_mtim.tv_nsec);
  stamp.changed = static_cast<uint64_t>(info.st_ctim.tv_sec);
  stamp.changed_fraction = static_cast<uint64_t>(info.st_ctim.tv_nsec);
  return stamp;
}

void InputFile::ReadExactly(void* buffer, size_t count) {
  ReadAt(offset_, buffer, count);
  offset_ += count;
}

void InputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  auto* at = static_cast<unsigned char*>(buffer);
  if (offset > size_ || count > size_ - offset) Changed();
  while (count > 0) {
    ssize_t done = pread(static_cast<int>(handle_), at, count, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      Fail("cannot read " + Named() + ": " + LastReason());
    }
    if (done == 0) Changed();
    at += done;
    count -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
}

void InputFile::ExpectEnd() {
  unsigned char probe;
  ssize_t done;
  do {
    done = pread(static_cast<int>(handle_), &probe, 1, static_cast<off_t>(offset_));
  } while (done < 0 && errno == EINTR);
  if (done < 0) Fail("cannot read " + Named() + ": " + LastReason());
  // Rewritten in place at the same size shows only in the times.
  if (done != 0 || Now() != opened_ || (view_ != nullptr && g_view_lost.load())) Changed();
}

OutputFile::OutputFile(const std::string& folder, const std::string& label, OutputKind kind)
    : folder_(folder), label_(label), kind_(kind) {
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A folder that may be written and searched but not listed can still hold the file.
  if (dir < 0 && errno == EACCES) dir = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) Failed("opening its folder " + Quoted(folder));
  folder_handle_ = dir;
  const mode_t mode = kind == OutputKind::kInstaller ? 0777
                      : kind == OutputKind::kData    ? 0666
                                                     : 0600;  // less the umask
  if (kind != OutputKind::kForTool) {
#ifdef O_TMPFILE
    int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd >= 0) {
      handle_ = fd;
      return;
    }
    // Only "this file system has no unnamed files" falls back to a named one.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
      Failed("creating it in " + Quoted(folder));
    }
#endif
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = HiddenName(
        attempt, getpid(), kind_ == OutputKind::kInstaller || kind_ == OutputKind::kForTool);
    int fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      Failed("creating it in " + Quoted(folder));
    }
    name_ = name;
    path_ = folder + "/" + name;
    slot_ = Register(dir, name);
    handle_ = fd;
    // The tool creates the file itself, and only where none exists yet.
    if (kind == OutputKind::kForTool) {
      close(fd);
      handle_ = -1;
      unlinkat(dir, name.c_str(), 0);
    }
    return;
  }
  Fail("cannot write " + Quoted(label) + ": no free temporary name in " + Quoted(folder));
}

OutputFile::~OutputFile() {
  if (handle_ != -1) close(static_cast<int>(handle_));
  if (!committed_ && !name_.empty()) unlinkat(static_cast<int>(folder_handle_), name_.c_str(), 0);
  Unregister(slot_);
  if (folder_handle_ != -1) close(static_cast<int>(folder_handle_));
}

void OutputFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  const auto* from = static_cast<const unsigned char*>(data);
  while (count > 0) {
    ssize_t done = pwrite(static_cast<int>(handle_), from, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done == 0) errno = ENOSPC;
    if (done <= 0) Failed("");
    from += done;
    offset += static_cast<uint64_t>(done);
    count -= static_cast<size_t>(done);
  }
}

void OutputFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  auto* to = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    ssize_t done = pread(static_cast<int>(handle_), to, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done == 0) errno = EIO;
    if (done <= 0) Failed("reading back what was written");
    to += done;
    offset += static_cast<uint64_t>(done);
    count -= static_cast<size_t>(done);
  }
}

void OutputFile::See(uint64_t offset, uint64_t count, const Seer& see) {
  static const uint64_t kPage = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  while (count > 0) {
    // A window at a time: mapped pages count towards the program's resident memory.
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(count, 16 << 20));
    const uint64_t start = offset / kPage * kPage;
    const size_t lead = static_cast<size_t>(offset - start);
    // Populated at once: the pages are in the cache, and mapping them a fault at a time costs
    // more than reading them.
    void* view = mmap(nullptr, lead + chunk, PROT_READ, MAP_SHARED | MAP_POPULATE,
                      static_cast<int>(handle_), static_cast<off_t>(start));
    if (view != MAP_FAILED) {
      see(static_cast<const uint8_t*>(view) + lead, chunk);
      munmap(view, lead + chunk);
    } else {
      // A file system that cannot map its files: read back through a buffer instead.
      if (buffer_.empty()) buffer_.resize(4 << 20);
      for (size_t at = 0; at < chunk;) {
        const size_t piece = std::min(chunk - at, buffer_.size());
        ReadAt(offset + at, buffer_.data(), piece);
        see(buffer_.data(), piece);
        at += piece;
      }
    }
    offset += chunk;
    count -= chunk;
  }
}

void OutputFile::Append(intptr_t from, uint64_t from_offset, uint64_t count, const Seer& see,
                        const std::function<void()>& ended) {
  // A window at a time, as See() maps the output: small enough that what the kernel just copied
  // is still in the processor's cache when it is folded (a fifth off a 1 GiB pack, measured
  // against 16 MiB windows).
  constexpr uint64_t kWindow = 4 << 20;
  const int source = static_cast<int>(from);
  const int target = static_cast<int>(handle_);
  while (count > 0) {
    const size_t chunk = static_cast<size_t>(std::min(count, kWindow));
    size_t done = 0;
    while (kernel_copy_ && done < chunk) {
      loff_t in = static_cast<loff_t>(from_offset + done);
      loff_t out = static_cast<loff_t>(offset_ + done);
      const ssize_t copied = copy_file_range(source, &in, target, &out, chunk - done, 0);
      if (copied < 0 && errno == EINTR) continue;
      if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                         errno == EOPNOTSUPP || errno == EBADF)) {
        kernel_copy_ = false;  // files these file systems do not copy between: done here instead
        done = 0;
        break;
      }
      if (copied < 0) Failed("");
      if (copied == 0) ended();
      done += static_cast<size_t>(copied);
    }
    if (done == chunk) {
      // The disk starts on the window now, while the rest is copied, so that the sync before
      // the rename finds little left to write. Only a hint: that sync reports any failure.
      sync_file_range(target, static_cast<off_t>(offset_), static_cast<off_t>(chunk),
                      SYNC_FILE_RANGE_WRITE);
      See(offset_, chunk, see);
      offset_ += chunk;
    } else {
      // What the kernel did not copy, through a buffer: seen, then written.
      if (buffer_.empty()) buffer_.resize(4 << 20);
      offset_ += done;
      for (size_t at = done; at < chunk;) {
        const size_t piece = std::min(chunk - at, buffer_.size());
        const ssize_t got = pread(source, buffer_.data(), piece,
                                  static_cast<off_t>(from_offset + at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Failed("copying");
        if (got == 0) ended();
        const size_t length = static_cast<size_t>(got);
        see(buffer_.data(), length);
        Write(buffer_.data(), length);
        at += length;
      }
    }
    from_offset += chunk;
    count -= chunk;
  }
}

void OutputFile::Name() {
  if (!name_.empty()) return;
  const std::string self = "/proc/self/fd/" + std::to_string(handle_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = HiddenName(
        attempt, getpid(), kind_ == OutputKind::kInstaller || kind_ == OutputKind::kForTool);
    const int dir = static_cast<int>(folder_handle_);
    // AT_EMPTY_PATH needs a capability; the /proc link works for anyone.
    if (linkat(static_cast<int>(handle_), "", dir, name.c_str(), AT_EMPTY_PATH) != 0 &&
        linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      Failed("giving it a name in " + Quoted(folder_));
    }
    name_ = name;
    path_ = folder_ + "/" + name;
    slot_ = Register(dir, name);
    return;
  }
  Fail("cannot write " + Quoted(label_) + ": no free temporary name in " + Quoted(folder_));
}

void OutputFile::Close() {
  if (handle_ == -1) return;
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  // Network and quota file systems report a failed write as late as here. EINTR leaves the
  // descriptor closed on Linux, and the data was synced before.
  if (close(fd) != 0 && errno != EINTR) Failed("closing it");
}

std::string OutputFile::CloseForOthers() {
  Name();
  Close();
  return path_;
}

void OutputFile::Commit(const std::string& destination, bool replace) {
  const int dir = static_cast<int>(folder_handle_);
  if (handle_ != -1) {
    if (fdatasync(static_cast<int>(handle_)) != 0) Failed("syncing it to the disk");
    Name();
    Close();
  } else {
    // Written by another program since: synced here, and given the mode a new installer has.
    int fd = openat(dir, name_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Failed("reopening it");
    const bool synced = fsync(fd) == 0 && fchmod(fd, 0777 & ~g_umask) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    if (!synced) Failed("syncing it to the disk");
  }
  if (replace ? renameat(dir, name_.c_str(), AT_FDCWD, destination.c_str()) != 0
              : !RenameNew(dir, name_, destination)) {
    Failed("renaming it into place");
  }
  committed_ = true;
  Unregister(slot_);
  // The rename itself is durable once the folder is synced; a folder opened only by path (not
  // readable) cannot be, and EINVAL means a file system that has nothing to sync.
  if (fsync(dir) != 0 && errno != EBADF && errno != EINVAL) Failed("syncing its folder");
}

std::string NativePath(const std::string& path) { return path; }

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool ExistingOutput(const std::string& output, FileIdentity* identity) {
  const std::string folder = FolderOf(output);
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) {
    if (errno == ENOENT) Fail("output folder " + Quoted(folder) + " does not exist");
    if (errno == ENOTDIR) Fail("output folder " + Quoted(folder) + " is not a folder");
    Fail("output folder " + Quoted(folder) + " cannot be used: " + LastReason());
  }
  if (!S_ISDIR(info.st_mode)) Fail("output folder " + Quoted(folder) + " is not a folder");
  if (access(folder.c_str(), X_OK) != 0) {
    Fail("output folder " + Quoted(folder) + " cannot be searched: " + LastReason());
  }
  const std::string named = "output " + Quoted(output);
  if (lstat(output.c_str(), &info) != 0) {
    if (errno == ENOENT) return false;
    Fail("cannot write " + named + ": " + LastReason());
  }
  // A symbolic link is replaced by the installer, as a linker replaces its -o; what it pointed
  // at is left alone, but may not be an input either.
  if (!S_ISLNK(info.st_mode)) {
    if (S_ISDIR(info.st_mode)) Fail(named + " is a folder");
    if (!S_ISREG(info.st_mode)) {
      Fail(named + " is " + std::string(KindOf(info.st_mode)) +
           ": only a regular file is replaced by an installer");
    }
    if ((info.st_mode & 0222) == 0) {
      Fail(named + " is read-only: make it writable, or remove it, to replace it");
    }
  }
  if (stat(output.c_str(), &info) != 0) return false;  // a dangling link
  *identity = IdentityOf(info);
  return true;
}

uint64_t FileSize(const std::string& path, const std::string& label) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    Fail("cannot read " + Quoted(label) + ": " + LastReason());
  }
  return static_cast<uint64_t>(info.st_size);
}

const char* GetEnvironment(const char* name, std::string* storage) {
  const char* value = getenv(name);
  if (value == nullptr) return nullptr;
  storage->assign(value);
  return storage->c_str();
}

}  // namespace pack
