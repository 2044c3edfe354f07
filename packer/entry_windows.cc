#include <windows.h>

#include "entry.h"

// The UTF-16 command line as UTF-8: what the rest of the packer takes on both platforms.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(static_cast<size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &argument[0], bytes, nullptr, nullptr);
    arguments.push_back(std::move(argument));
  }
  return pack::Main(arguments);
}
