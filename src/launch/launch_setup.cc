#include "launch/launch_setup.h"

// Stand-in until the launch lands: fails with the step's own code, never with success.
ExitResult LaunchSetup(const Configuration&, const wchar_t*, const wchar_t*, bool,
                       const ProcessApi&) {
  return {SETUP_LAUNCH_FAILED, ERROR_CALL_NOT_IMPLEMENTED};
}
