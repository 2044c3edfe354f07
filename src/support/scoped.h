// Owners that release a handle, key or allocation on every path, through the close function the
// caller names (the real one, or a test's through the seam).
#pragma once

#include <windows.h>

// Saves the thread's last-error value and gives it back when the scope ends, so that clean-up
// calls between a failure and its report cannot overwrite it.
class LastErrorScope {
 public:
  LastErrorScope() : saved_(::GetLastError()) {}
  ~LastErrorScope() { ::SetLastError(saved_); }
  LastErrorScope(const LastErrorScope&) = delete;
  LastErrorScope& operator=(const LastErrorScope&) = delete;

 private:
  DWORD saved_;
};

template <typename Traits>
class Scoped {
 public:
  using Raw = typename Traits::Raw;
  using CloseFn = typename Traits::CloseFn;

  explicit Scoped(CloseFn close) : close_(close) {}
  Scoped(Raw raw, CloseFn close) : raw_(raw), close_(close) {}
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  ~Scoped() { Reset(); }

  // Releases what is held, keeping the last-error value, and holds `raw` instead.
  void Reset(Raw raw = Traits::Invalid()) {
    if (Traits::IsValid(raw_)) {
      LastErrorScope keep;
      close_(raw_);
    }
    raw_ = raw;
  }
  Raw Get() const { return raw_; }
  // For out-parameters: releases what is held first.
  Raw* Receive() {
    Reset();
    return &raw_;
  }
  Raw Release() {
    Raw raw = raw_;
    raw_ = Traits::Invalid();
    return raw;
  }
  bool IsValid() const { return Traits::IsValid(raw_); }

 private:
  Raw raw_ = Traits::Invalid();
  CloseFn close_;
};

// A file handle: invalid is INVALID_HANDLE_VALUE (CreateFileW's failure value).
struct FileTraits {
  using Raw = HANDLE;
  using CloseFn = BOOL(WINAPI*)(HANDLE);
  static Raw Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};
// A kernel handle whose failure value is null (tokens, processes, threads).
struct KernelHandleTraits {
  using Raw = HANDLE;
  using CloseFn = BOOL(WINAPI*)(HANDLE);
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};
struct RegKeyTraits {
  using Raw = HKEY;
  using CloseFn = LONG(WINAPI*)(HKEY);
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw h) { return h != nullptr; }
};
// Memory from LocalAlloc, or handed back by a system call to be released with LocalFree.
template <typename T>
struct LocalTraits {
  using Raw = T;
  using CloseFn = HLOCAL(WINAPI*)(HLOCAL);
  static Raw Invalid() { return nullptr; }
  static bool IsValid(Raw p) { return p != nullptr; }
};

using ScopedFile = Scoped<FileTraits>;
using ScopedKernelHandle = Scoped<KernelHandleTraits>;
using ScopedRegKey = Scoped<RegKeyTraits>;
template <typename T>
using ScopedLocal = Scoped<LocalTraits<T>>;
