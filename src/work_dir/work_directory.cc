#include "work_dir/work_directory.h"

// Stand-in until the work directory lands: fails with the step's own code, never with success.
bool CreateWorkDirectory(const wchar_t*, PathString&, ExitResult* result, const WorkDirApi&) {
  *result = {UNABLE_TO_GET_WORK_DIRECTORY, 0};
  return false;
}
