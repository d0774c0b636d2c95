// An install as the installer's step 0 runs it, in a process of its own that a test can end
// at any moment: "install_child DIR" installs the packet this program carries (its FILE
// 143) into DIR; "install_child --recover DIR" only settles what an earlier run left.
// Exit code 0 for success.
#include <windows.h>

#include <string>

#include "setup/extract_payload.h"
#include "setup/install_fs_win.h"
#include "setup/install_transaction.h"

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--recover") {
    kelo::Win32InstallFs fs(argv[2]);
    return kelo::RecoverInstall(&fs).ok() ? 0 : 1;
  }
  if (argc != 2) return 2;
  std::wstring dir = argv[1];
  if (dir.back() != L'\\') dir += L'\\';
  return kelo::ExtractPayload(dir) ? 0 : 1;
}
