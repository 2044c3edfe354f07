// Running another program (the signing tools) and collecting what it printed.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pack {

struct ProcessResult {
  bool started = false;
  std::string start_error;  // why it could not start
  int exit_code = -1;
  std::string output;       // standard output and standard error, interleaved
};

// Runs argv[0] (searched on PATH when it has no folder) with the arguments as they are, no shell
// in between, standard input empty, `environment` added to the packer's own; waits for it.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& environment = {});

// Whether `program` is found on PATH.
bool OnPath(const std::string& program);

}  // namespace pack
