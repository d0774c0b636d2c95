// Chooses the failure boxes as the setup programs do ("unattended" as /S does, anything
// else as a run with its window), then fails in a way nothing catches.
#include <windows.h>

#include <cwchar>
#include <stdexcept>

#include "base/module.h"
#include "base/product.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR command, int) {
  kelo::ChooseFailureBoxes(wcscmp(command, L"unattended") == 0, kelo::kExitInstallFailed);
  throw std::runtime_error("nothing catches this");
}
