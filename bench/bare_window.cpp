// The start-up baseline: the least a program can do to put a window of the installer's size
// on the screen and paint it. What Wine and the display cost any program shows here.
#include <windows.h>

namespace {

constexpr COLORREF kBackground = RGB(0xee, 0xf1, 0xf4);

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      HBRUSH brush = CreateSolidBrush(kBackground);
      FillRect(dc, &paint.rcPaint, brush);
      DeleteObject(brush);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, wchar_t*, int) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance;
  window_class.lpszClassName = L"KeloBareWindow";
  if (!RegisterClassW(&window_class)) return 1;
  HWND window = CreateWindowExW(WS_EX_TOPMOST, window_class.lpszClassName, L"Kelo start-up baseline",
                                WS_POPUP | WS_VISIBLE, 100, 100, 600, 400, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
