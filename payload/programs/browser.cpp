// Demo stand-in for the browser that the installer carries. It holds the browser's named
// mutex while it runs, so the installer's running check sees it, and shows the arguments it
// was started with in its title ("KeloBrowser [-Setup]"), so a first launch can be seen.
#include <windows.h>

#include <string>

namespace {

LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(wnd, &ps);
      static const wchar_t kText[] = L"Kelo游戏浏览器 (demo payload)";
      TextOutW(dc, 20, 20, kText, lstrlenW(kText));
      EndPaint(wnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int show) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"KeloBrowser.exe");
  WNDCLASSW wc = {};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"KeloDemoBrowser";
  RegisterClassW(&wc);
  const std::wstring title = L"KeloBrowser [" + std::wstring(args ? args : L"") + L"]";
  HWND wnd = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 480, 240, nullptr, nullptr, instance, nullptr);
  if (!wnd) return 1;
  // Shown whatever the starter asked, as a real browser is: the installer's start request
  // asks for a hidden window, and a person trying the demo should still see it start. The
  // first call takes the starter's wish, the second is the browser's own. What was asked
  // stays readable on the window, for tests (plus one: no property reads as 0).
  SetPropW(wnd, L"KeloShowRequested", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(show + 1)));
  ShowWindow(wnd, show);
  ShowWindow(wnd, SW_SHOWNORMAL);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (mutex) CloseHandle(mutex);
  return 0;
}
