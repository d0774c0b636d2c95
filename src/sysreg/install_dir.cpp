#include "sysreg/install_dir.h"

// Placeholder until the install-directory checks are built: proposes nothing and accepts
// nothing, so the window keeps its install button disabled.
namespace kelo {

bool DefaultInstallDir(std::wstring*) { return false; }
bool IsValidInstallPath(const wchar_t*) { return false; }
bool IsDirWritable(const wchar_t*) { return false; }
bool QueryFreeSpace(const wchar_t*, uint64_t*) { return false; }
DirCheck ValidateInstallDir(const wchar_t*, FreeSpaceQuery) { return {}; }
void AppendProductFolder(wchar_t (&)[kDirFieldChars]) {}

}  // namespace kelo
