#pragma once
// Waiting for a running install where the user sees no window of ours (/S, or the window
// closed while the worker runs): a hidden window answers the system, so a logoff or
// shutdown still waits for the install instead of cutting it short.
#include "setup/setup_logic.h"

namespace kelo {

// Returns once no worker runs; without one, at once.
void WaitForWorkerHoldingSession(CSetupLogic* logic);

}  // namespace kelo
