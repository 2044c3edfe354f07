#include "launch/command_line.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Null pieces are written as empty ones rather than read.
const wchar_t* OrEmpty(const wchar_t* text) { return text != nullptr ? text : L""; }

// Where the arguments start: just past the program name, or null when nothing is to be appended.
const wchar_t* SkipProgramName(const wchar_t* command_line) {
  const wchar_t* position = command_line;
  if (*position == L'"') {
    ++position;
    while (*position != 0 && *position != L'"') ++position;
    // With the name's quote never closed there is no telling where the arguments would start.
    if (*position == 0) return nullptr;
    return position + 1;
  }
  // Other control characters belong to a bare name, as the platform's own splitting has it.
  while (*position != 0 && !IsBlank(*position)) ++position;
  return position;
}

}  // namespace

void AppendCommandLineFlags(const wchar_t* command_line, CommandLineString& buffer) {
  if (command_line == nullptr) return;
  const wchar_t* arguments = SkipProgramName(command_line);
  if (arguments == nullptr || *arguments == 0) return;
  if (!IsBlank(*arguments) && !buffer.Append(L" ")) return;
  buffer.Append(arguments);
}

bool BuildSetupCommandLine(const wchar_t* setup_path, const wchar_t* archive_path,
                           bool compressed_archive, const wchar_t* previous_version,
                           CommandLineString& buffer) {
  if (!(buffer.Copy(L"\"") && buffer.Append(OrEmpty(setup_path)) && buffer.Append(L"\" --") &&
        buffer.Append(compressed_archive ? L"install-archive" : L"uncompressed-archive") &&
        buffer.Append(L"=\"") && buffer.Append(OrEmpty(archive_path)) && buffer.Append(L"\""))) {
    return false;
  }
  if (previous_version == nullptr) return true;
  return buffer.Append(L" --") && buffer.Append(L"previous-version") && buffer.Append(L"=\"") &&
         buffer.Append(previous_version) && buffer.Append(L"\"");
}

bool BuildPatchCommandLine(const wchar_t* previous_setup_path, const wchar_t* patch_path,
                           const wchar_t* new_setup_path, CommandLineString& buffer) {
  buffer.Clear();
  return buffer.Append(L"\"") && buffer.Append(OrEmpty(previous_setup_path)) &&
         buffer.Append(L"\" --") && buffer.Append(L"update-setup-exe") &&
         buffer.Append(L"=\"") && buffer.Append(OrEmpty(patch_path)) && buffer.Append(L"\" --") &&
         buffer.Append(L"new-setup-exe") && buffer.Append(L"=\"") &&
         buffer.Append(OrEmpty(new_setup_path)) && buffer.Append(L"\"");
}
