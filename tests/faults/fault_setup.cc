// The setup program of the fault tests: it does to the work directory what a setup program or
// another process might, then exits with the code it is told. All through environment variables,
// which the stub passes on:
//
//   FAULT_SETUP_EXIT_CODE    exit code, decimal or 0x-hexadecimal (default 0)
//   FAULT_SETUP_READ_ONLY    "1": mark the archive and this program itself read-only
//   FAULT_SETUP_HOLDER       path of a copy of this program outside the work directory, and
//   FAULT_SETUP_HOLD         the base name of the holder's events: start the copy on the archive,
//                            wait until it holds the file, and leave it running (it outlives this
//                            program)
//   FAULT_SETUP_HOLD_SHARE   "share-delete": the holder shares deletion
//   FAULT_SETUP_LOAD         a DLL name to load by name alone, as a program that trusts the
//                            search path would
//
// Exit code 0xFA17 when something asked for cannot be done.
//
// As the holder: fault_setup --hold <path> <event base> [share-delete] opens the file for reading,
// sharing reading and writing (and deletion when asked), signals <base>_ready, waits for
// <base>_release (a minute at most, so that a failed test never leaves it running), closes the
// file and signals <base>_done.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

const DWORD kCannot = 0xFA17;

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return (n == 0 || n >= 1024) ? std::wstring() : std::wstring(value, n);
}

// The value of `--name="value"` in the command line, or empty.
std::wstring SwitchValue(const std::wstring& line, const std::wstring& name) {
  const std::wstring opening = L"--" + name + L"=\"";
  size_t start = line.find(opening);
  if (start == std::wstring::npos) return std::wstring();
  start += opening.size();
  const size_t end = line.find(L'"', start);
  return line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

bool MarkReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

DWORD Hold(const wchar_t* path, const std::wstring& base, bool share_delete) {
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (share_delete) share |= FILE_SHARE_DELETE;
  const HANDLE file = CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + L"_ready").c_str());
  const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (base + L"_release").c_str());
  const HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + L"_done").c_str());
  if (file == INVALID_HANDLE_VALUE || !ready || !release || !done) return kCannot;
  SetEvent(ready);
  WaitForSingleObject(release, 60000);
  CloseHandle(file);
  SetEvent(done);
  return 0;
}

bool StartHolder(const std::wstring& archive) {
  const std::wstring holder = Environment(L"FAULT_SETUP_HOLDER");
  const std::wstring base = Environment(L"FAULT_SETUP_HOLD");
  std::wstring line = L"\"" + holder + L"\" --hold \"" + archive + L"\" " + base + L" " +
                      Environment(L"FAULT_SETUP_HOLD_SHARE");
  const HANDLE ready = OpenEventW(SYNCHRONIZE, FALSE, (base + L"_ready").c_str());
  if (ready == nullptr) return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  bool holding = false;
  if (CreateProcessW(holder.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process)) {
    CloseHandle(process.hThread);
    const HANDLE waits[2] = {ready, process.hProcess};
    holding = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    CloseHandle(process.hProcess);
  }
  CloseHandle(ready);
  return holding;
}

}  // namespace

int main() {
  const std::wstring line = GetCommandLineW();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &argc);
  if (argv != nullptr && argc >= 4 && std::wstring(argv[1]) == L"--hold") {
    ExitProcess(Hold(argv[2], argv[3], argc > 4 && std::wstring(argv[4]) == L"share-delete"));
  }
  std::wstring archive = SwitchValue(line, L"install-archive");
  if (archive.empty()) archive = SwitchValue(line, L"uncompressed-archive");
  wchar_t own[MAX_PATH];
  const DWORD own_length = GetModuleFileNameW(nullptr, own, MAX_PATH);

  if (Environment(L"FAULT_SETUP_READ_ONLY") == L"1" &&
      !(MarkReadOnly(archive) && MarkReadOnly(std::wstring(own, own_length)))) {
    ExitProcess(kCannot);
  }
  if (!Environment(L"FAULT_SETUP_HOLD").empty() && !StartHolder(archive)) ExitProcess(kCannot);
  const std::wstring load = Environment(L"FAULT_SETUP_LOAD");
  if (!load.empty() && LoadLibraryW(load.c_str()) == nullptr) ExitProcess(kCannot);

  const std::wstring code = Environment(L"FAULT_SETUP_EXIT_CODE");
  ExitProcess(code.empty() ? 0 : static_cast<DWORD>(wcstoul(code.c_str(), nullptr, 0)));
}
