#include "process.h"

#include <cerrno>
#include <cstring>

#include "file_io.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace pack {
namespace {

#ifdef _WIN32
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
#else
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  std::string storage;
  const char* path = GetEnvironment("PATH", &storage);
  if (path == nullptr) return std::string();
  std::string folders = path;
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    struct stat info;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::string();
}
#endif

// Keeps the end of what a program writes: the last line is what a failure is reported by.
void AppendTail(std::string& output, const char* data, size_t count) {
  constexpr size_t kKeep = 1 << 16;
  output.append(data, count);
  if (output.size() > 2 * kKeep) output.erase(0, output.size() - kKeep);
}

}  // namespace

bool OnPath(const std::string& program) { return !FindProgram(program).empty(); }

#ifdef _WIN32
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
#else
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment,
                         Capture capture) {
  ProcessResult result;
  std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    result.start_error = "not found";
    return result;
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  for (char** at = environ; *at != nullptr; ++at) {
    bool replaced = false;
    for (const auto& [name, value] : environment) {
      (void)value;
      if (std::strncmp(*at, name.c_str(), name.size()) == 0 && (*at)[name.size()] == '=') {
        replaced = true;
      }
    }
    if (!replaced) entries.push_back(*at);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> copies(argv.begin(), argv.end());
  std::vector<char*> args;
  for (std::string& argument : copies) args.push_back(&argument[0]);
  args.push_back(nullptr);

  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    result.start_error = std::strerror(errno);
    return result;
  }
  fcntl(pipe_ends[0], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (capture == Capture::kErrorsOnly) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  }
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
  // The packer ignores these to see write errors as errors; the child gets them as any program
  // started by a shell would.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t child;
  int error = posix_spawn(&child, program.c_str(), &actions, &attributes, args.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (error != 0) {
    close(pipe_ends[0]);
    result.start_error = std::strerror(error);
    return result;
  }
  result.started = true;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(pipe_ends[0], buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    AppendTail(result.output, buffer, static_cast<size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}
#endif

}  // namespace pack
