// Stands in for the shell's pin handlers: "verb_recorder.exe FOLDER VERB FILE" leaves a
// file in FOLDER (named after its process id) holding "VERB|FILE", so a test can tell
// which verbs were invoked on which shortcut.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const std::wstring record = std::wstring(argv[1]) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L".txt";
  const std::wstring text = std::wstring(argv[2]) + L"|" + argv[3];
  HANDLE file = CreateFileW(record.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  return 0;
}
