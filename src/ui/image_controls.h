#pragma once
// The window's two owner-drawn control kinds. Each paints one frame of a vertical strip of
// equal frames over a copy of the window background that lies under it, so the artwork
// shows through the strip's transparent parts, and follows the mouse for its hover and
// pressed looks. The owner draws them from WM_DRAWITEM with the current view's background.
#include <windows.h>

#include <string>

#include "ui/gdiplus_api.h"
#include "ui/skin.h"

namespace kelo {

// The mouse's effect on an image control, the same for both kinds: the look it asks for
// (normal, hover, pressed) and whether hover and leave reports are armed.
class PointerLook {
 public:
  enum Look { kNormal = 0, kHover = 1, kPressed = 2 };

  // Follows one message of the control's window. True for a mouse message, with the look
  // it asks for in *look; *repaint tells whether the control should be drawn again.
  bool Follow(HWND window, UINT message, Look* look, bool* repaint);
  void Reset() { armed_ = false; }

 private:
  bool armed_ = false;
};

// The half both control kinds share: an owner-drawn BUTTON window at a place of its parent,
// whose procedure is the control's, with the control object in its user data.
class ControlWindow {
 public:
  bool Create(const wchar_t* text, HWND parent, UINT_PTR id, const RECT& placement, WNDPROC proc, void* control);
  // Gives a living window its own procedure back and destroys it; forgets everything.
  void Destroy();
  // From the control's procedure at WM_NCDESTROY: the window is going with its parent, so
  // nothing of it is left to restore at teardown.
  void Release(HWND window);
  // The mouse part of the control's procedure (see PointerLook::Follow).
  bool Follow(HWND window, UINT message, PointerLook::Look* look, bool* repaint) {
    return pointer_.Follow(window, message, look, repaint);
  }

  HWND window() const { return window_; }
  WNDPROC previous_proc() const { return previous_proc_; }
  const RECT& placement() const { return placement_; }

 private:
  HWND window_ = nullptr;
  WNDPROC previous_proc_ = nullptr;
  RECT placement_ = {};
  PointerLook pointer_;
};

class CImageButton {
 public:
  enum State { kNormal = 1, kHover = 2, kPressed = 3, kDisabled = 4 };

  CImageButton() = default;
  virtual ~CImageButton() { Destroy(); }
  CImageButton(const CImageButton&) = delete;
  CImageButton& operator=(const CImageButton&) = delete;

  // `image` stays owned by the caller. 0 when the parent is no window, the image is null or
  // no picture, or the button window cannot be made.
  int Create(SkinBitmap* image, HWND parent, UINT_PTR id, int x, int y, int width, int height);
  void Destroy();
  void Paint(HDC dc, GpImage* background);

  // The owner's switch: enabled draws the normal frame, disabled draws only the background
  // (the strips have no disabled frame) and the window takes no clicks.
  void SetEnabled(bool enabled);
  // What screen readers say after the button's name (none when empty).
  void SetDescription(const std::wstring& description);

  HWND window() const { return control_.window(); }
  bool enabled() const { return enabled_ != 0; }

 private:
  static LRESULT CALLBACK ButtonProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  int enabled_ = 1;
  int state_ = kNormal;
  ControlWindow control_;
  SkinBitmap* image_ = nullptr;
  std::wstring description_;
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

  HWND window() const { return control_.window(); }

 private:
  static LRESULT CALLBACK CheckBoxProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  int StateFor(int checked_state) const { return checked_ ? checked_state : checked_state + 3; }

  WPARAM checked_ = 0;
  int state_ = kUncheckedNormal;
  ControlWindow control_;
  SkinBitmap image_;  // its own copy of the strip, decoded when first drawn
};

// Centres a top-level window on its visible owner, or on the work area, kept inside the
// work area.
void CenterWindow(HWND window);

}  // namespace kelo
