// The packer's whole run, given the command line's arguments as UTF-8 (less the program's name);
// returns the exit status. The entry point of each platform (entry_posix.cc, entry_windows.cc)
// hands them over as that platform has them.
#pragma once

#include <string>
#include <vector>

namespace pack {

int Main(const std::vector<std::string>& arguments);

}  // namespace pack
