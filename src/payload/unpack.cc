#include "payload/unpack.h"

// Stand-in until the payload lands: fails with the step's own code, never with success.
ExitResult UnpackPayload(HMODULE, const wchar_t*, PathString&, TypeTag&, PathString&, TypeTag&,
                         const UnpackApi&) {
  return {UNABLE_TO_EXTRACT_ARCHIVE, ERROR_FILE_NOT_FOUND};
}
