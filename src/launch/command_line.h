// The command lines the stub hands to the programs it runs. Pure text work on fixed buffers: no
// platform call, so it builds and runs anywhere the bounded string helpers do.
#pragma once

#include "support/wide_string.h"

// Appends the arguments that follow the program name in `command_line` (the stub's own, as the
// platform gave it) to `buffer`, unchanged, blanks and quoting included. A name in quotes ends at
// the closing quote; a bare name at the first space, tab or end. Text that follows a closing quote
// directly gets one space before it. Nothing is appended when there are no arguments or the
// name's quote is never closed. When the arguments do not fit they are left off and `buffer`
// keeps what it held (the single space above stays when only it fitted): not an error.
void AppendCommandLineFlags(const wchar_t* command_line, CommandLineString& buffer);

// `"setup_path" --install-archive="archive_path"` (or --uncompressed-archive when the archive is
// not the compressed one), then ` --previous-version="version"` when a version is given at all,
// even an empty one. Paths and version are written as they are, without escaping. False when the
// line does not fit; `buffer` then holds no usable command line.
bool BuildSetupCommandLine(const wchar_t* setup_path, const wchar_t* archive_path,
                           bool compressed_archive, const wchar_t* previous_version,
                           CommandLineString& buffer);

// `"previous_setup_path" --update-setup-exe="patch_path" --new-setup-exe="new_setup_path"`.
// False when it does not fit.
bool BuildPatchCommandLine(const wchar_t* previous_setup_path, const wchar_t* patch_path,
                           const wchar_t* new_setup_path, CommandLineString& buffer);
