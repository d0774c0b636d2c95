// Stands in for the user's web browser: "url_recorder.exe FOLDER ADDRESS" leaves a file in
// FOLDER ("<ticks>-<process id>.url") holding the address and, on a second line, how the
// opener asked the browser to show itself. A windowed program, so that starting it shown
// opens no console window that would take the activation from the window under test.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!args || count != 3) return 2;
  wchar_t name[64];
  swprintf(name, 64, L"\\%020llu-%lu.url", GetTickCount64(), GetCurrentProcessId());
  const std::wstring record = std::wstring(args[1]) + name;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
  const std::wstring text = std::wstring(args[2]) + L"\n" + std::to_wstring(show);
  // Written whole under another name, then renamed: a reader polling for ".url" files never
  // finds one still empty.
  const std::wstring partial = record + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  return MoveFileW(partial.c_str(), record.c_str()) ? 0 : 1;
}
