// Stands in for the browser where a test needs to know the folder it was started in: leaves
// "started-in.txt" beside itself, holding its current directory.
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t self[MAX_PATH];
  wchar_t current[MAX_PATH];
  const DWORD self_chars = GetModuleFileNameW(nullptr, self, MAX_PATH);
  const DWORD current_chars = GetCurrentDirectoryW(MAX_PATH, current);
  if (self_chars == 0 || self_chars >= MAX_PATH || current_chars == 0 || current_chars >= MAX_PATH) return 1;
  std::wstring record = self;
  record = record.substr(0, record.find_last_of(L'\\') + 1) + L"started-in.txt";
  // Written whole under another name, then renamed: a reader polling for it never finds it
  // still empty.
  const std::wstring partial = record + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, current, current_chars * sizeof(wchar_t), &written, nullptr);
  CloseHandle(file);
  return MoveFileW(partial.c_str(), record.c_str()) ? 0 : 1;
}
