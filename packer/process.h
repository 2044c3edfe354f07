// Running another program (the signing tools) and collecting what it printed. One
// implementation per platform: process_posix.cc and process_windows.cc.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pack {

struct ProcessResult {
  bool started = false;
  std::string start_error;  // why it could not start
  int exit_code = -1;
  // Standard output and standard error interleaved, or standard error alone; only the last
  // 64 KiB or more of it, so that a chatty program cannot fill the packer's memory.
  std::string output;
};

enum class Capture { kOutputAndErrors, kErrorsOnly };

// Runs argv[0] (searched on PATH when it has no folder) with the arguments as they are, no shell
// in between, standard input empty, `environment` added to the packer's own; waits for it. With
// kErrorsOnly its standard output goes to the null device.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment = {},
                         Capture capture = Capture::kOutputAndErrors);

// Whether `program` is found on PATH.
bool OnPath(const std::string& program);

// Adds what a program wrote to `output`, keeping only its end: the last line is what a failure
// is reported by. For the platforms' RunProcess.
void AppendTail(std::string& output, const char* data, size_t count);

}  // namespace pack
