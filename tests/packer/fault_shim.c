// Loaded into tamrel-pack with LD_PRELOAD: the call named in $PACK_FAULT ("close" or
// "fdatasync") fails with EIO for every regular file open for writing, as a network or quota
// file system reports a lost write; "mmap" fails with ENODEV there, as on a file system that
// cannot map its files; "mmap-input" fails mmap of the files open only for reading, the
// installers the reading commands map.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

static int Faulty(const char* call, int fd) {
  const char* fault = getenv("PACK_FAULT");
  struct stat info;
  int flags = fcntl(fd, F_GETFL);
  return fault != NULL && strcmp(fault, call) == 0 && flags >= 0 &&
         (flags & O_ACCMODE) != O_RDONLY && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

int close(int fd) {
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
  if (!Faulty("close", fd)) return real(fd);
  real(fd);
  errno = EIO;
  return -1;
}

int fdatasync(int fd) {
  if (Faulty("fdatasync", fd)) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int))dlsym(RTLD_NEXT, "fdatasync"))(fd);
}

void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  const char* fault = getenv("PACK_FAULT");
  int mode = fcntl(fd, F_GETFL);
  if (Faulty("mmap", fd) || (fault != NULL && strcmp(fault, "mmap-input") == 0 && mode >= 0 &&
                             (mode & O_ACCMODE) == O_RDONLY)) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return ((void* (*)(void*, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap"))(
      address, length, protection, flags, fd, offset);
}
