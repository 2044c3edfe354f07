// Running another program on Windows: CreateProcessW with a command line quoted as the C runtime
// parses it, the output read through a pipe.
#include <windows.h>

#include <cstring>

#include "file_io.h"
#include "process.h"

namespace pack {
namespace {

// One argument as the C runtime's parser reads it back: quoted when it must be, with the
// backslashes before a quote doubled.
void AppendArgument(std::wstring& line, const std::wstring& argument) {
  if (!line.empty()) line += L' ';
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
    else line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring FindProgram(const std::string& program) {
  std::wstring name = Wide(program);
  if (program.find_first_of("/\\:") != std::string::npos) return name;
  wchar_t found[MAX_PATH];
  for (const wchar_t* extension : {L".exe", L""}) {
    DWORD length = SearchPathW(nullptr, name.c_str(), extension, MAX_PATH, found, nullptr);
    if (length > 0 && length < MAX_PATH) return found;
  }
  return std::wstring();
}
}  // namespace

bool OnPath(const std::string& program) { return !FindProgram(program).empty(); }

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         Capture capture) {
  ProcessResult result;
  std::wstring program = FindProgram(argv[0]);
  if (program.empty()) {
    result.start_error = "not found";
    return result;
  }
  std::wstring line;
  AppendArgument(line, program);
  for (size_t i = 1; i < argv.size(); ++i) AppendArgument(line, Wide(argv[i]));

  // The child's environment: the packer's own, with the additions in front (the first of two
  // equal names wins in a Windows environment block).
  std::wstring block;
  for (const auto& [name, value] : environment) {
    block += Wide(name) + L"=" + Wide(value);
    block += L'\0';
  }
  wchar_t* own = GetEnvironmentStringsW();
  for (const wchar_t* at = own; *at; at += wcslen(at) + 1) {
    block += at;
    block += L'\0';
  }
  FreeEnvironmentStringsW(own);
  block += L'\0';

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    result.start_error = "cannot make a pipe";
    return result;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = capture == Capture::kErrorsOnly ? nothing : write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process = {};
  BOOL started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &block[0], nullptr,
                                &startup, &process);
  DWORD start_error = GetLastError();
  CloseHandle(write_end);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (!started) {
    CloseHandle(read_end);
    result.start_error = "error " + std::to_string(start_error);
    return result;
  }
  result.started = true;
  char buffer[4096];
  DWORD got;
  while (ReadFile(read_end, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
    AppendTail(result.output, buffer, got);
  }
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.exit_code = static_cast<int>(code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}
}  // namespace pack
