#include "setup/setup_logic.h"

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
