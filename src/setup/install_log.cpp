#include "setup/install_log.h"

#include <shlwapi.h>

#include <cwchar>

#include "base/file_paths.h"
#include "base/utf8.h"
#include "base/win_holders.h"
#include "setup/install_fs_win.h"

namespace kelo {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Whether a folder on the way to `full` is a link or a mount point. A log named on the
// command line may lie in a folder all users can make (C:\logs): another user's link there
// would have the log written over whatever file it leads to.
bool ReachedThroughLink(const std::wstring& full) {
  const wchar_t* after_root = PathSkipRootW(full.c_str());
  if (!after_root) return false;
  for (size_t end = full.find(L'\\', after_root - full.c_str()); end != std::wstring::npos;
       end = full.find(L'\\', end + 1)) {
    const std::wstring folder = full.substr(0, end);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && IsLink(folder, attributes)) return true;
  }
  return false;
}

// Whether the file open in `file` is the one `path` names, asked of the handle: a folder on
// the way made a link after it was looked at by name leads elsewhere. The volume is left
// out of the comparison, for a mapped or substituted drive names it otherwise.
bool OpenedWhereNamed(HANDLE file, const std::wstring& path) {
  wchar_t opened[1024];
  const DWORD opened_chars =
      GetFinalPathNameByHandleW(file, opened, ARRAYSIZE(opened), FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
  wchar_t named[1024];
  const DWORD named_chars = GetLongPathNameW(AbsolutePath(path).c_str(), named, ARRAYSIZE(named));
  if (opened_chars == 0 || opened_chars >= ARRAYSIZE(opened) || named_chars == 0 || named_chars >= ARRAYSIZE(named))
    return false;
  const wchar_t* below_root = PathSkipRootW(named);
  if (!below_root) return false;
  const size_t tail = wcslen(below_root);
  if (tail == 0 || opened_chars <= tail) return false;
  const wchar_t* opened_tail = opened + opened_chars - tail;
  return opened_tail[-1] == L'\\' &&
         CompareStringOrdinal(opened_tail, static_cast<int>(tail), below_root, static_cast<int>(tail), TRUE) ==
             CSTR_EQUAL;
}

}  // namespace

std::wstring ErrorCodeText(DWORD code) {
  if (!(code & 0x80000000u)) return std::to_wstring(code);
  wchar_t text[16];
  wsprintfW(text, L"0x%08X", code);
  return text;
}

std::wstring DefaultLogPath() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD chars = GetTempPathW(MAX_PATH + 1, temp);
  // Without a temporary folder there is no default place: the working folder is nobody's.
  return chars > 0 && chars <= MAX_PATH ? std::wstring(temp, chars) + L"KeloSetup.log" : std::wstring();
}

bool InstallLog::Open(const std::wstring& path, bool fall_back) {
  const std::wstring fallback = DefaultLogPath();
  if (Start(path, /*named=*/path != fallback)) return true;
  const DWORD error = GetLastError();
  if (!fall_back || path == fallback || !Start(fallback, /*named=*/false)) return false;
  Line(L"the log could not be written to \"" + path + L"\" (error " + ErrorCodeText(error) + L"): it is here");
  return true;
}

bool InstallLog::Start(const std::wstring& path, bool named) {
  // The earlier run's file closes first: it may be this same file, which shares no writing.
  file_.Reset();
  path_.clear();
  // Only a log the command line names is looked at on its way: the temporary folder is the
  // user's own, and may lie behind a link of theirs. One too long to be told whole (a
  // "\\?\" path) cannot be looked at, and is not opened either: opening makes the file.
  if (named) {
    const std::wstring full = AbsolutePath(path);
    if (full.empty()) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (ReachedThroughLink(full)) {
      SetLastError(ERROR_CANT_ACCESS_FILE);
      return false;
    }
  }
  // Opened as it stands, and cut to nothing only once it is known to be a file of its own:
  // never a link's target, nor a name a hard link shares with another file, nor a file
  // reached by another way than the one named.
  DWORD links = 0;
  ScopedHandle file = OpenToRewrite(path, &links);
  if (!file.IsValid()) return false;
  if (links > 1 || (named && !OpenedWhereNamed(file.Get(), path))) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  DWORD written = 0;
  if (!SetEndOfFile(file.Get()) || !WriteFile(file.Get(), kByteOrderMark, 3, &written, nullptr)) return false;
  file_ = std::move(file);
  // The failure view names the log: a relative name would not say where it is.
  path_ = AbsolutePath(path);
  return true;
}

void InstallLog::Finish(const std::wstring& outcome) {
  Line(L"outcome: " + outcome);
  file_.Reset();
}

void InstallLog::Line(const std::wstring& text) {
  if (!file_.IsValid()) return;
  const DWORD error = GetLastError();
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t stamp[32];
  swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond, now.wMilliseconds);
  const std::wstring line = stamp + text + L"\r\n";
  const std::string utf8 = Utf8(line.data(), line.size());
  DWORD written = 0;
  WriteFile(file_.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  SetLastError(error);
}

}  // namespace kelo
