// Finds the archive and setup resources in the stub's own image and writes them into the work
// directory, expanding a cabinet-compressed setup program into setup.exe.
#pragma once

#include <windows.h>

#include "cleanup/delete.h"
#include "driver/exit_codes.h"
#include "payload/cabinet.h"
#include "payload/output_file.h"
#include "support/wide_string.h"

struct UnpackApi {
  decltype(&::EnumResourceNamesW) EnumResourceNamesW = ::EnumResourceNamesW;
  decltype(&::FindResourceW) FindResourceW = ::FindResourceW;
  decltype(&::SizeofResource) SizeofResource = ::SizeofResource;
  decltype(&::LoadResource) LoadResource = ::LoadResource;
  decltype(&::LockResource) LockResource = ::LockResource;
  // Writing the two files, expanding the cabinet and deleting it afterwards.
  OutputFileApi output_file;
  CabinetApi cabinet;
  DeleteApi deletion;
};

// Payload resources are named resources of the string types "B7", "BL" and "BN", scanned in that
// order; a name beginning with "tamrel" (ASCII letters in any case) is the archive, one beginning
// with "setup" the setup program, and any other name is an error. The archive is written under its
// resource name; the setup program under its resource name too, except a "BN" one, which is
// written as setup.exe, and a "BL" one is then expanded into setup.exe and the compressed file
// deleted. A tag names the type a piece was found in.
//
// The four outputs are empty on entry. On failure:
// - a rejected or missing resource: both paths empty, nothing written;
// - a path too long for kMaxPath: that path holds what the bounded copy or append left (the work
//   directory alone, or empty), a path not yet built is empty;
// - a failed write: that file's path is set and no file is there; an archive written before stays;
// - an expanded path too long: setup_path names the compressed file, which is still there;
// - a failed expansion: setup_path names setup.exe, which is not there; the compressed file is gone.
ExitResult UnpackPayload(HMODULE module, const wchar_t* work_directory, PathString& setup_path,
                         TypeTag& setup_type, PathString& archive_path, TypeTag& archive_type,
                         const UnpackApi& api = UnpackApi());
