#pragma once
// /S: the install the window's quick-install button makes, without the window.
#include "app/command_line.h"

namespace kelo {

// Installs into /D= or the proposed directory; the exit code tells the outcome.
int InstallSilently(const CommandLine& command);

}  // namespace kelo
