// Install step 0: the browser's files into the install directory.
#include "setup/extract_payload.h"

#include <shlwapi.h>

#include "base/product.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

namespace {

// The absolute form of `path` without trailing separators, for comparing two spellings
// of one directory; false when it does not fit the buffer.
bool ComparablePath(const std::wstring& path, wchar_t (&out)[kPathChars]) {
  const DWORD chars = GetFullPathNameW(path.c_str(), kPathChars, out, nullptr);
  if (chars == 0 || chars >= kPathChars) return false;
  DWORD end = chars;
  while (end > 0 && IsPathSeparator(out[end - 1])) --end;
  out[end] = L'\0';
  return end != 0;
}

bool IsRecordedInstallLocation(const std::wstring& dir) {
  std::wstring location;
  if (ReadInstallLocation(&location) != ERROR_SUCCESS || location.empty()) return false;
  wchar_t a[kPathChars];
  wchar_t b[kPathChars];
  if (!ComparablePath(dir, a) || !ComparablePath(location, b)) return false;
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// The main program was written by this step; a virus scanner may hold it back for a moment,
// but it must not keep the install waiting for ever.
bool WaitForMainProgram(const std::wstring& path) {
  const ULONGLONG deadline = GetTickCount64() + kMainProgramWaitMs;
  while (!PathFileExistsW(path.c_str())) {
    if (GetTickCount64() >= deadline) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return false;
    }
    Sleep(100);
  }
  return true;
}

}  // namespace

bool HoldsEarlierInstallation(const std::wstring& dir) {
  wchar_t full[kPathChars];
  if (!ComparablePath(dir, full)) return false;
  // "C:" stands for the root once its separator is back.
  const std::wstring root_check = std::wstring(full) + L'\\';
  if (PathIsRootW(full) || PathIsRootW(root_check.c_str())) return false;
  const DWORD attributes = GetFileAttributesW((std::wstring(full) + L'\\' + kBrowserExe).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  return IsRecordedInstallLocation(dir);
}

bool ExtractPayload(const std::wstring& dir) {
  const std::wstring packet = dir + kPacketFileName;
  const std::wstring main_program = dir + kBrowserExe;
  // Every path of the step goes through 260-character buffers: refuse before touching the
  // disk. The main program's is the longer of the two fixed names.
  if (dir.empty() || main_program.size() >= kPathChars) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  bool clear_first = false;
  if (!PathFileExistsW(dir.c_str())) {
    if (!MakeDirectories(dir)) return false;
  } else {
    // An earlier installation is cleared once the new one has been decoded and checked, so
    // that a packet that cannot be installed leaves the working one alone. Any other
    // directory (the user's documents, another program's folder) keeps its files: the
    // browser's are written beside them and nothing is deleted.
    clear_first = HoldsEarlierInstallation(dir);
  }

  const bool ok =
      WritePacketFile(packet) && UnpackPacket(packet, dir, clear_first) && WaitForMainProgram(main_program);
  // The packet is 4 MB of no use once unpacked, and a partial one is of no use at all.
  const DWORD error = GetLastError();
  RemoveFile(packet);
  SetLastError(error);
  return ok;
}

}  // namespace kelo
