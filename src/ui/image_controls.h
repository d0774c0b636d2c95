#pragma once
// The window's two owner-drawn control kinds. Each paints one frame of a vertical strip of
// equal frames over a copy of the window background that lies under it, so the artwork
// shows through the strip's transparent parts, and follows the mouse for its hover and
// pressed looks. The owner draws them from WM_DRAWITEM with the current view's background.
#include <windows.h>

#include <string>

#include "ui/gdiplus_api.h"

namespace kelo {

class CImageButton {
 public:
  enum State { kNormal = 1, kHover = 2, kPressed = 3, kDisabled = 4 };

  CImageButton() = default;
  virtual ~CImageButton() { Destroy(); }
  CImageButton(const CImageButton&) = delete;
  CImageButton& operator=(const CImageButton&) = delete;

  // `image` stays owned by the caller. 0 when the parent is no window, the image is null
  // or the button window cannot be made.
  int Create(GpBitmap* image, HWND parent, UINT_PTR id, int x, int y, int width, int height);
  void Destroy();
  void Paint(HDC dc, GpImage* background);

  // The owner's switch: enabled draws the normal frame, disabled draws only the background
  // (the strips have no disabled frame) and the window takes no clicks.
  void SetEnabled(bool enabled);
  // Text drawn centred over the frame in `font` (not owned); empty draws no text.
  void SetCaption(const wchar_t* caption, HFONT font) {
    caption_ = caption ? caption : L"";
    font_ = font;
  }

  HWND window() const { return window_; }
  int state() const { return state_; }
  bool enabled() const { return enabled_ != 0; }

 private:
  static LRESULT CALLBACK ButtonProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  int enabled_ = 1;
  int state_ = kNormal;
  HWND window_ = nullptr;
  WNDPROC previous_proc_ = nullptr;
  HWND parent_ = nullptr;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
  GpBitmap* image_ = nullptr;
  int tracking_ = 0;
  UINT_PTR id_ = 0;
  std::wstring caption_;
  HFONT font_ = nullptr;
  COLORREF caption_colours_[4] = {0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0x999999};
  int frame_count_ = 4;
};

class CImageCheckBox {
 public:
  // 1-3 checked normal/hover/pressed, 4-6 the same unchecked.
  enum State {
    kCheckedNormal = 1, kCheckedHover, kCheckedPressed,
    kUncheckedNormal, kUncheckedHover, kUncheckedPressed,
  };

  CImageCheckBox() = default;
  virtual ~CImageCheckBox() { Destroy(); }
  CImageCheckBox(const CImageCheckBox&) = delete;
  CImageCheckBox& operator=(const CImageCheckBox&) = delete;

  // Starts unchecked; the owner checks it with BM_SETCHECK. It never toggles itself.
  int Create(HWND parent, UINT_PTR id, int x, int y);
  void Destroy();
  void Paint(HDC dc, GpImage* background);

  HWND window() const { return window_; }
  int state() const { return state_; }

 private:
  static LRESULT CALLBACK CheckBoxProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  int StateFor(int checked_state) const { return checked_ ? checked_state : checked_state + 3; }

  WPARAM checked_ = 0;
  int state_ = kUncheckedNormal;
  HWND window_ = nullptr;
  WNDPROC previous_proc_ = nullptr;
  HWND parent_ = nullptr;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
  GpBitmap* image_ = nullptr;  // its own copy of the strip
  int tracking_ = 0;
};

// Centres a top-level window on its visible owner, or on the work area, kept inside the
// work area; a child window on its owner within its parent's client area.
void CenterWindow(HWND window);

}  // namespace kelo
