// The setup program the tests hand to the stub. It records what it was given and exits with the
// code it is told, all through environment variables (the stub passes its environment on):
//
//   FAKE_SETUP_REPORT        file to append one record to (outside the work directory)
//   FAKE_SETUP_EXIT_CODE     exit code, decimal or 0x-hexadecimal (default 0)
//   FAKE_SETUP_LEAVE_FILE    name of a file to create in the work directory and leave there
//
// Started with --new-setup-exe it plays the previous installation's setup program instead:
//
//   FAKE_SETUP_UPDATE_EXIT_CODE  its exit code (default 0)
//   FAKE_SETUP_WRITE_NEW_SETUP   "1": copy itself to the --new-setup-exe path
//
// The work directory is the folder of the first path among --install-archive,
// --uncompressed-archive and --update-setup-exe, else the folder of this program. A record reads:
//
//   run
//   command_line=<GetCommandLineW, raw>
//   exe=<this program's path>
//   work_directory=<folder, trailing backslash>
//   entry=<name>            one line per entry of the work directory, sorted
//   archive=<size> <first 8 bytes in hex>   or archive=missing, when an archive switch was given
//   end
#include <windows.h>

#include <string>
#include <vector>

#include "testing/file_listing.h"

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return (n == 0 || n >= 1024) ? std::wstring() : std::wstring(value, n);
}

DWORD ParseCode(const std::wstring& text) {
  if (text.empty()) return 0;
  return static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 0));
}

// The value of `--name="value"` in the command line, or empty.
std::wstring SwitchValue(const std::wstring& line, const std::wstring& name) {
  const std::wstring opening = L"--" + name + L"=\"";
  size_t start = line.find(opening);
  if (start == std::wstring::npos) return std::wstring();
  start += opening.size();
  size_t end = line.find(L'"', start);
  return line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\') + 1); }

std::wstring DescribeArchive(const std::wstring& path) {
  std::string head(8, '\0');
  long long size = 0;
  if (!testing_support::ReadFileHead(path, &head, &size)) return L"missing";
  std::wstring text = std::to_wstring(size) + L" ";
  const wchar_t digits[] = L"0123456789ABCDEF";
  for (unsigned char byte : head) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

void Append(const std::wstring& report, const std::wstring& text) {
  HANDLE file = CreateFileW(report.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string bytes(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int main() {
  const std::wstring line = GetCommandLineW();
  wchar_t own[MAX_PATH];
  const DWORD own_length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  const std::wstring exe(own, own_length);

  std::wstring archive = SwitchValue(line, L"install-archive");
  if (archive.empty()) archive = SwitchValue(line, L"uncompressed-archive");
  const std::wstring patch = SwitchValue(line, L"update-setup-exe");
  const std::wstring new_setup = SwitchValue(line, L"new-setup-exe");
  const std::wstring work_directory =
      !archive.empty() ? FolderOf(archive) : !patch.empty() ? FolderOf(patch) : FolderOf(exe);

  const std::wstring leave = Environment(L"FAKE_SETUP_LEAVE_FILE");
  if (!leave.empty()) {
    HANDLE file = CreateFileW((work_directory + leave).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  const bool updating = line.find(L"--new-setup-exe=") != std::wstring::npos;
  if (updating && Environment(L"FAKE_SETUP_WRITE_NEW_SETUP") == L"1" && !new_setup.empty()) {
    CopyFileW(exe.c_str(), new_setup.c_str(), FALSE);
  }

  const std::wstring report = Environment(L"FAKE_SETUP_REPORT");
  if (!report.empty()) {
    std::wstring text = L"run\ncommand_line=" + line + L"\nexe=" + exe + L"\nwork_directory=" +
                        work_directory + L"\n";
    for (const std::wstring& name : testing_support::ListDirectory(work_directory)) {
      text += L"entry=" + name + L"\n";
    }
    if (!archive.empty()) text += L"archive=" + DescribeArchive(archive) + L"\n";
    text += L"end\n";
    Append(report, text);
  }
  ExitProcess(ParseCode(Environment(updating ? L"FAKE_SETUP_UPDATE_EXIT_CODE"
                                             : L"FAKE_SETUP_EXIT_CODE")));
}
