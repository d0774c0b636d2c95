#include "setup/install_log.h"

#include <cwchar>

#include "base/file_paths.h"

namespace kelo {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

}  // namespace

std::wstring DefaultLogPath() {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD chars = GetTempPathW(MAX_PATH + 1, temp);
  // Without a temporary folder there is no default place: the working folder is nobody's.
  return chars > 0 && chars <= MAX_PATH ? std::wstring(temp, chars) + L"KeloSetup.log" : std::wstring();
}

bool InstallLog::Open(const std::wstring& path) {
  if (Start(path)) return true;
  const DWORD error = GetLastError();
  const std::wstring fallback = DefaultLogPath();
  if (path == fallback || !Start(fallback)) return false;
  Line(L"the log could not be written to \"" + path + L"\" (error " + std::to_wstring(error) + L"): it is here");
  return true;
}

bool InstallLog::Start(const std::wstring& path) {
  // The earlier run's file closes first: it may be this same file, which shares no writing.
  file_.Reset();
  file_.Reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  // The failure view names the log: a relative name would not say where it is.
  path_ = file_.IsValid() ? AbsolutePath(path) : std::wstring();
  DWORD written = 0;
  return file_.IsValid() && WriteFile(file_.Get(), kByteOrderMark, 3, &written, nullptr);
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
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                        nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file_.Get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  SetLastError(error);
}

}  // namespace kelo
