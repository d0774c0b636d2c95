// Stands in for a DLL that someone left in the downloads folder next to the installer: when
// loaded it leaves "<its own path>.loaded" beside itself. The functions it exports fail, so
// a program that bound to it still runs.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE dll, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t path[MAX_PATH + 16] = {};
    GetModuleFileNameW(dll, path, MAX_PATH);
    lstrcatW(path, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  }
  return TRUE;
}

extern "C" int WINAPI PlantedStartup(void*, const void*, void*) { return 1; }  // GenericError
extern "C" void WINAPI PlantedShutdown(void*) {}
