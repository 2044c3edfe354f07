#include "cleanup/delete.h"

// Stand-in until deletion lands: deletes nothing and says so.
bool DeleteWithRetry(const wchar_t*, const DeleteApi&) { return false; }

void DeleteExtractedFiles(const wchar_t*, const wchar_t*, const wchar_t*, const DeleteApi&) {}
