// What the system's FDI delivers to the expansion's notification handler and what the handler
// answers: under Wine for real, through a recording wrapper around the library; and the
// notifications Wine never sends, or sends differently from Windows, replayed through the seam.
#include "payload/cabinet.h"

#include <fdi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/payload_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::PathExists;
using testing_support::PayloadFixtureBytes;
using testing_support::ReadFileBytes;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

// One step of a replayed copy: a notification to deliver, or what the library does in between.
enum class Step { kWrite, kCloseFile };
struct Replay {
  int notification;  // an FDINOTIFICATIONTYPE, or -1 for `step`
  Step step;
  UINT bytes;        // written by kWrite; declared for fdintCOPY_FILE
};

struct Wrapper {
  HMODULE library = nullptr;
  PERF error = nullptr;
  PFNFDINOTIFY handler = nullptr;
  std::string answers;            // "notification:answer" for each delivery
  BOOL copied = FALSE;
  const std::vector<Replay>* replay = nullptr;  // null: the real library copies
  BOOL replay_result = FALSE;
  int replay_error = FDIERROR_NONE;
  int flushes = 0;
};
Wrapper g;

template <typename Fn>
Fn Real(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(g.library, name)));
}

INT_PTR Deliver(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  const INT_PTR answer = g.handler(type, info);
  if (!g.answers.empty()) g.answers += " ";
  g.answers += std::to_string(type) + ":" +
               (answer == 0 || answer == -1 ? std::to_string(answer) : std::string("handle"));
  return answer;
}
INT_PTR DIAMONDAPI RecordingNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
  return Deliver(type, info);
}

// What a library does with the handler, step by step, without the library.
BOOL ReplayCopy(void* user) {
  FDINOTIFICATION info = {};
  info.pv = user;
  char name[] = "setup.exe";
  HANDLE file = INVALID_HANDLE_VALUE;
  const std::string bytes(100000, 'r');
  for (const Replay& r : *g.replay) {
    if (r.notification < 0) {
      DWORD written = 0;
      if (r.step == Step::kWrite) WriteFile(file, bytes.data(), r.bytes, &written, nullptr);
      if (r.step == Step::kCloseFile) CloseHandle(file);
      continue;
    }
    info.psz1 = name;
    info.cb = static_cast<LONG>(r.bytes);
    info.hf = reinterpret_cast<INT_PTR>(file);
    info.attribs = FILE_ATTRIBUTE_ARCHIVE;
    const INT_PTR answer = Deliver(static_cast<FDINOTIFICATIONTYPE>(r.notification), &info);
    if (r.notification == fdintCOPY_FILE) file = reinterpret_cast<HANDLE>(answer);
  }
  g.error->erfOper = g.replay_error;
  g.error->fError = g.replay_error != FDIERROR_NONE;
  return g.replay_result;
}

HFDI DIAMONDAPI CapturingFdiCreate(PFNALLOC alloc, PFNFREE free, PFNOPEN open, PFNREAD read,
                                   PFNWRITE write, PFNCLOSE close, PFNSEEK seek, int cpu,
                                   PERF error) {
  g.error = error;
  return Real<decltype(&FDICreate)>("FDICreate")(alloc, free, open, read, write, close, seek, cpu,
                                                 error);
}
BOOL DIAMONDAPI RecordingFdiCopy(HFDI fdi, char* name, char* path, int flags, PFNFDINOTIFY notify,
                                 PFNFDIDECRYPT decrypt, void* user) {
  g.handler = notify;
  if (g.replay != nullptr) return g.copied = ReplayCopy(user);
  g.copied = Real<decltype(&FDICopy)>("FDICopy")(fdi, name, path, flags, RecordingNotify, decrypt,
                                                 user);
  return g.copied;
}
FARPROC WINAPI WrappingGetProcAddress(HMODULE module, LPCSTR name) {
  g.library = module;
  const std::string entry = name;
  if (entry == "FDICreate") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(CapturingFdiCreate));
  }
  if (entry == "FDICopy") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(RecordingFdiCopy));
  }
  return GetProcAddress(module, name);
}
BOOL WINAPI CountingFlushFileBuffers(HANDLE file) {
  ++g.flushes;
  return FlushFileBuffers(file);
}

CabinetApi WrappedApi() {
  g = Wrapper();
  CabinetApi api;
  api.GetProcAddress = WrappingGetProcAddress;
  api.FlushFileBuffers = CountingFlushFileBuffers;
  return api;
}

// one.cab with its file entry saying that the file begins in a previous cabinet.
std::string ContinuedFromPrevious() {
  std::string cab = PayloadFixtureBytes(L"one.cab");
  const size_t entry = *reinterpret_cast<const uint32_t*>(&cab[16]);  // coffFiles
  cab[entry + 8] = '\xFD';                                            // iFolder 0xFFFD
  cab[entry + 9] = '\xFF';
  return cab;
}

// Notifications by number: 0 cabinet info, 1 partial file, 2 copy file, 3 close file info,
// 4 next cabinet, 5 enumerate.
TEST(CabinetUnderWine, HandlerAnswersWhatWineDelivers) {
  struct Case {
    const char* label;
    std::string cabinet;
    const wchar_t* folder;
    const char* answers;
    BOOL copied;
    const wchar_t* expanded;  // the fixture the expanded file equals; null: none is left
  } cases[] = {
      {"one file", PayloadFixtureBytes(L"one.cab"), L"cab", "0:0 2:handle 3:-1", TRUE,
       L"setup.bin"},
      // Wine ignores the stop asked for at the close and offers the next file, which is skipped,
      // and then reports success. Windows ends the copy with FDIERROR_USER_ABORT instead
      // (CabinetOnWindows.WhatWineNeverDelivers).
      {"two files", PayloadFixtureBytes(L"two.cab"), L"cab", "0:0 2:handle 3:-1 2:0", TRUE,
       L"first.bin"},
      {"first file continued from a previous cabinet", ContinuedFromPrevious(), L"cab",
       "0:0 1:-1", FALSE, nullptr},
      // Wine reports the file cut short closed before it fails; its size gives it away.
      {"cut after one block", PayloadFixtureBytes(L"cut_after_block.cab"), L"cab",
       "0:0 2:handle 3:-1", FALSE, nullptr},
      // The library is given a stand-in name; the open callback opens the wide path it stands
      // for.
      {"a folder named beyond ASCII", PayloadFixtureBytes(L"one.cab"),
       L"\u00DCn\u00EFc\u00F8d\u00E9 \u2713 \u4E2D\u6587", "0:0 2:handle 3:-1", TRUE,
       L"setup.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch(L"platform_cabinet");
    const std::wstring folder = scratch / c.folder + L"\\";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring source = folder + L"SETUP.EX_";
    const std::wstring destination = folder + L"setup.exe";
    ASSERT_TRUE(WriteFileBytes(source, c.cabinet));
    const CabinetApi api = WrappedApi();
    const bool expanded = c.expanded != nullptr;
    EXPECT_EQ(expanded, ExpandCabinet(source.c_str(), destination.c_str(), api));
    EXPECT_EQ(c.answers, g.answers);
    EXPECT_EQ(c.copied, g.copied);
    EXPECT_EQ(expanded, PathExists(destination));
    EXPECT_EQ(expanded ? 1 : 0, g.flushes);
    std::string bytes;
    if (expanded && ReadFileBytes(destination, &bytes)) {
      EXPECT_TRUE(bytes == PayloadFixtureBytes(c.expanded));
    }
  }
}

TEST(CabinetOnWindows, WhatWineNeverDelivers) {
  const Replay kInfo = {fdintCABINET_INFO, Step::kWrite, 0};
  const Replay kCopy = {fdintCOPY_FILE, Step::kWrite, 1000};
  const Replay kWriteAll = {-1, Step::kWrite, 1000};
  const Replay kWriteHalf = {-1, Step::kWrite, 500};
  const Replay kLibraryCloses = {-1, Step::kCloseFile, 0};
  const Replay kClose = {fdintCLOSE_FILE_INFO, Step::kWrite, 1000};
  struct Case {
    const char* label;
    std::vector<Replay> replay;
    BOOL result;
    int error;
    const char* answers;
    bool expanded;
  } cases[] = {
      {"the stop at the close honoured", {kInfo, kCopy, kWriteAll, kClose}, FALSE,
       FDIERROR_USER_ABORT, "0:0 2:handle 3:-1", true},
      {"enumeration status", {kInfo, {fdintENUMERATE}, kCopy, kWriteAll, kClose}, FALSE,
       FDIERROR_USER_ABORT, "0:0 5:0 2:handle 3:-1", true},
      {"a truncated cabinet fails without closing the file",
       {kInfo, kCopy, kWriteHalf, kLibraryCloses}, FALSE, FDIERROR_CORRUPT_CABINET,
       "0:0 2:handle", false},
      {"the next cabinet asked for", {kInfo, kCopy, kWriteHalf, {fdintNEXT_CABINET},
       kLibraryCloses}, FALSE, FDIERROR_USER_ABORT, "0:0 2:handle 4:-1", false},
      {"a notification of an unknown kind", {kInfo, {9}}, FALSE, FDIERROR_USER_ABORT, "0:0 9:-1",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch(L"platform_cabinet_replay");
    const std::wstring source = scratch / L"SETUP.EX_";
    const std::wstring destination = scratch / L"setup.exe";
    ASSERT_TRUE(WriteFileBytes(source, PayloadFixtureBytes(L"one.cab")));
    const CabinetApi api = WrappedApi();
    g.replay = &c.replay;
    g.replay_result = c.result;
    g.replay_error = c.error;
    EXPECT_EQ(c.expanded, ExpandCabinet(source.c_str(), destination.c_str(), api));
    EXPECT_EQ(c.answers, g.answers);
    EXPECT_EQ(c.expanded, PathExists(destination));
    EXPECT_EQ(c.expanded ? 1 : 0, g.flushes);
  }
}

}  // namespace
