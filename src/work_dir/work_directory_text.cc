#include "work_dir/work_directory_text.h"

const wchar_t kWorkDirectorySddlPrefix[] =
    L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)"
    L"(A;;FA;;;";

namespace {

constexpr size_t kNameDigits = 5;

bool HasRoomForName(size_t prefix_length) {
  return prefix_length < kMaxPath && kMaxPath - prefix_length >= kWorkDirectoryNameRoom;
}

}  // namespace

bool StartWorkDirectoryPath(const wchar_t* base_directory, PathString& path,
                            size_t* prefix_length) {
  *prefix_length = 0;
  if (base_directory == nullptr || !path.Copy(base_directory) || !path.Append(L"TM_")) {
    return false;
  }
  *prefix_length = path.Length();
  return HasRoomForName(*prefix_length);
}

bool FormWorkDirectoryName(PathString& path, size_t prefix_length,
                           const unsigned char (&random)[kWorkDirectoryRandomBytes]) {
  if (!HasRoomForName(prefix_length)) return false;
  wchar_t* name = path.Get() + prefix_length;
  HexEncode(random, kWorkDirectoryRandomBytes, name, kMaxPath - prefix_length);
  name[kNameDigits] = 0;
  return path.Append(L".tmp");
}

void FallbackRandomBytes(size_t attempt, unsigned char (&random)[kWorkDirectoryRandomBytes]) {
  random[0] = 0;
  random[1] = 0;
  random[2] = static_cast<unsigned char>((attempt & 0x0F) << 4);
  random[3] = 0;
}

bool ComposeWorkDirectorySddl(const wchar_t* owner_sid, SddlString& sddl) {
  sddl.Clear();
  return owner_sid != nullptr && sddl.Append(kWorkDirectorySddlPrefix) && sddl.Append(owner_sid) &&
         sddl.Append(L")");
}
