// The text of the work directory: its path, its random name and the access-control list it gets.
// Nothing here calls the system, so these functions also build and run natively.
#pragma once

#include <stddef.h>

#include "support/wide_string.h"

constexpr size_t kWorkDirectoryRandomBytes = 4;
constexpr size_t kWorkDirectoryAttempts = 10;
// What must stay free after base directory + "TM_": five digits, ".tmp", the trailing backslash
// and the terminator. Keeping it free means no later append to the path can fail.
constexpr size_t kWorkDirectoryNameRoom = 11;

// Room for the fixed part (92 characters), any SID string Windows writes, ")" and the terminator.
constexpr size_t kSddlCapacity = 300;
using SddlString = FixedString<kSddlCapacity>;

// Everything of the descriptor text but the token owner's SID and the closing parenthesis: a
// protected, auto-inherited DACL admitting Administrators, Local System and the creator owner
// (the last two rights also inherited by everything created inside), then the token owner.
extern const wchar_t kWorkDirectorySddlPrefix[];

// Writes base directory + "TM_" into `path` and its length into *prefix_length. False when the
// base is null, does not fit, or leaves less than kWorkDirectoryNameRoom after "TM_"; `path`
// is then not to be used.
bool StartWorkDirectoryPath(const wchar_t* base_directory, PathString& path, size_t* prefix_length);

// Rewrites `path` from `prefix_length` on with the first five upper-case hexadecimal digits of
// the four bytes (both digits of bytes 0 and 1, the high digit of byte 2) and ".tmp". False,
// with nothing written, when the room rule above does not hold for `prefix_length`.
bool FormWorkDirectoryName(PathString& path, size_t prefix_length,
                           const unsigned char (&random)[kWorkDirectoryRandomBytes]);

// The bytes an attempt uses when the random generator fails: 00 00 n0 00 for attempt n, so the
// attempts name TM_00000.tmp, TM_00001.tmp, ... TM_00009.tmp.
void FallbackRandomBytes(size_t attempt, unsigned char (&random)[kWorkDirectoryRandomBytes]);

// The descriptor text for a token owner's SID string. False when it would not fit (the buffer
// then holds part of it and must not be used).
bool ComposeWorkDirectorySddl(const wchar_t* owner_sid, SddlString& sddl);
