// What running a program means on every platform.
#include "process.h"

namespace pack {

void AppendTail(std::string& output, const char* data, size_t count) {
  constexpr size_t kKeep = 1 << 16;
  output.append(data, count);
  if (output.size() > 2 * kKeep) output.erase(0, output.size() - kKeep);
}

}  // namespace pack
