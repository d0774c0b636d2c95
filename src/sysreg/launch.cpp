#include "setup/setup_logic.h"
#include "sysreg/shell_open.h"

namespace kelo {

// Not built yet: reports failure so that an install never pretends to have done it.
int CSetupLogic::StepLaunch() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

// Not built yet: reports failure so that an install never pretends to have done it.
int CSetupLogic::StepStopRunning() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

}  // namespace kelo

namespace kelo {
// Placeholder until the launch step is built.
bool ShellOpen(const wchar_t*, const wchar_t*) { return false; }
}  // namespace kelo
