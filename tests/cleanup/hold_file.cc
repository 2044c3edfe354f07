// Holds a file open as another process would, until told to let go.
// Usage: hold_file <path> <ready event> <release event> [share-delete]. Shares reading and writing,
// and deletion only when asked. Signals the ready event once the file is open; closes it when the
// release event is signalled, or after a minute so that a failed test never leaves it running.
// Exit code 0, or 1 when the file or an event cannot be opened.
#include <windows.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 1;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (argc == 5 && strcmp(argv[4], "share-delete") == 0) share |= FILE_SHARE_DELETE;
  const HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
  const HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
  if (file == INVALID_HANDLE_VALUE || ready == nullptr || release == nullptr) return 1;
  SetEvent(ready);
  WaitForSingleObject(release, 60000);
  CloseHandle(file);
  return 0;
}
