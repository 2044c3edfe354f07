#include "launch/patch_setup.h"

// Stand-in until patching lands: fails with the step's own code, never with success.
ExitResult PatchSetup(const Configuration&, const wchar_t*, const wchar_t*, const ProcessApi&) {
  return {PATCH_SETUP_LAUNCH_FAILED, ERROR_CALL_NOT_IMPLEMENTED};
}
