// Running another program on Linux: posix_spawn, the output read through a pipe.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "file_io.h"
#include "process.h"

extern char** environ;

namespace pack {
namespace {

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
}  // namespace

bool OnPath(const std::string& program) { return !FindProgram(program).empty(); }

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
}  // namespace pack
