// The one error the packer reports: its message is the single line the user sees.
#pragma once

#include <stdexcept>
#include <string>

namespace pack {

struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void Fail(const std::string& message) { throw PackError(message); }

}  // namespace pack
