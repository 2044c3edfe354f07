// Expands a cabinet the way the installer does, through the stub's own ExpandCabinet and the
// system's cabinet.dll, for tests that run on the Linux side.
// Usage: expand_cabinet <cabinet> <destination>. Exit code 0 when the first file was written.
#include <windows.h>

#include "payload/cabinet.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  return ExpandCabinet(argv[1], argv[2]) ? 0 : 1;
}
