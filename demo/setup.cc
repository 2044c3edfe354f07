// The demo product's setup program. It shows what an installer stub hands a product's setup:
// the switches it received, whether the archive it was pointed at is a 7z archive, and what the
// work directory holds while it runs. The stub starts it without a console, so the report goes to
// the file named by DEMO_SETUP_REPORT when that is set (scripts/demo sets it), else to stdout.
//
// Exit code: DEMO_SETUP_EXIT_CODE when set; otherwise 0 when the archive checks out, 1 when it is
// not a 7z archive or cannot be read, 2 when no archive switch was given.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const unsigned char k7zSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = GetEnvironmentVariableW(name, value, 1024);
  return (n == 0 || n >= 1024) ? std::wstring() : std::wstring(value, n);
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::wstring Hex(const unsigned char* bytes, size_t count) {
  std::wstring text;
  wchar_t pair[4];
  for (size_t i = 0; i < count; ++i) {
    swprintf(pair, 4, L"%02X", bytes[i]);
    if (i > 0) text += L' ';
    text += pair;
  }
  return text;
}

// Checks the archive's first bytes; `verdict` says what was found.
bool CheckArchive(const std::wstring& path, std::wstring* verdict, unsigned long long* size) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *verdict = L"cannot open it (error " + std::to_wstring(GetLastError()) + L")";
    return false;
  }
  LARGE_INTEGER length = {};
  GetFileSizeEx(file, &length);
  *size = static_cast<unsigned long long>(length.QuadPart);
  unsigned char head[6] = {};
  DWORD read = 0;
  ReadFile(file, head, sizeof head, &read, nullptr);
  CloseHandle(file);
  const bool is_7z = read == sizeof head && std::equal(head, head + 6, k7zSignature);
  *verdict = Hex(head, read) + (is_7z ? L"  -> a 7z archive" : L"  -> NOT a 7z archive");
  return is_7z;
}

std::wstring Listing(const std::wstring& folder) {
  struct Entry { std::wstring name; bool directory; unsigned long long size; };
  std::vector<Entry> entries;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                         (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) |
                             data.nFileSizeLow});
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  std::wstring text;
  for (const Entry& entry : entries) {
    wchar_t line[400];
    if (entry.directory) {
      swprintf(line, 400, L"    %-28ls <folder>\n", entry.name.c_str());
    } else {
      swprintf(line, 400, L"    %-28ls %12llu bytes\n", entry.name.c_str(), entry.size);
    }
    text += line;
  }
  return text.empty() ? L"    (empty)\n" : text;
}

void Emit(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string bytes(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n,
                      nullptr, nullptr);
  const std::wstring report = Environment(L"DEMO_SETUP_REPORT");
  if (report.empty()) {
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    return;
  }
  HANDLE file = CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  wchar_t own[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring text = L"demo setup.exe ran\n";
  text += L"  program:         " + std::wstring(own) + L"\n";
  text += L"  command line:    " + std::wstring(GetCommandLineW()) + L"\n";
  text += L"  switches and arguments received:\n";
  if (argc < 2) text += L"    (none)\n";

  std::wstring archive_switch;
  std::wstring archive;
  for (int i = 1; i < argc; ++i) {
    const std::wstring argument = argv[i];
    text += L"    [" + std::to_wstring(i) + L"] " + argument + L"\n";
    for (const wchar_t* name : {L"--install-archive=", L"--uncompressed-archive="}) {
      if (archive.empty() && StartsWith(argument, name)) {
        archive_switch = std::wstring(name).substr(0, wcslen(name) - 1);
        archive = argument.substr(wcslen(name));
      }
    }
  }

  int exit_code = 2;
  std::wstring work_directory = own;
  work_directory.erase(work_directory.rfind(L'\\') + 1);
  if (archive.empty()) {
    text += L"  archive:         no --install-archive or --uncompressed-archive switch\n";
  } else {
    std::wstring verdict;
    unsigned long long size = 0;
    exit_code = CheckArchive(archive, &verdict, &size) ? 0 : 1;
    text += L"  archive switch:  " + archive_switch +
            (archive_switch == L"--install-archive" ? L" (the compressed archive)\n"
                                                    : L" (an uncompressed archive)\n");
    text += L"  archive:         " + archive + L" (" + std::to_wstring(size) + L" bytes)\n";
    text += L"  archive check:   " + verdict + L"\n";
    work_directory = archive.substr(0, archive.rfind(L'\\') + 1);
  }
  text += L"  work directory:  " + work_directory + L"\n" + Listing(work_directory);

  const std::wstring forced = Environment(L"DEMO_SETUP_EXIT_CODE");
  if (!forced.empty()) exit_code = static_cast<int>(wcstoul(forced.c_str(), nullptr, 0));
  text += L"  exiting with:    " + std::to_wstring(static_cast<unsigned>(exit_code)) + L"\n";
  Emit(text);
  return exit_code;
}
