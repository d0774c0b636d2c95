#include "ui/image_controls.h"

#include "base/module.h"
#include "base/win_holders.h"
#include "ui/skin.h"
#include "ui/window_layout.h"

namespace kelo {

namespace {

constexpr DWORD kControlStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW;
constexpr DWORD kHoverTimeMs = 10;

// Asks for one WM_MOUSEHOVER after the pointer rests and a WM_MOUSELEAVE when it goes.
bool ArmMouseTracking(HWND window) {
  TRACKMOUSEEVENT track = {sizeof(track), TME_HOVER | TME_LEAVE, window, kHoverTimeMs};
  return TrackMouseEvent(&track) != FALSE;
}

struct Caption {
  const std::wstring* text;
  HFONT font;
  COLORREF colour;
  HWND window;
};

// Background under the control, one frame of its strip on top, optionally a caption, all
// composed off screen and copied in one go so the control never flickers.
void PaintLayers(HDC dc, GpImage* background, const RECT& placement, GpImage* strip, int frame, int frames,
                 const Caption* caption) {
  const int width = placement.right - placement.left;
  const int height = placement.bottom - placement.top;
  ScopedMemDC memory(dc);
  ScopedGdiObj<HBITMAP> bitmap(CreateCompatibleBitmap(dc, width, height));
  if (!memory.Get() || !bitmap.Get()) return;
  ScopedSelectObject select_bitmap(memory.Get(), bitmap.Get());
  {
    // Deleted before GDI draws into the same context or the bitmap is copied.
    ScopedGraphics graphics(CreateGraphics(memory.Get()));
    const RECT whole = XYWH(0, 0, width, height);
    DrawSkinImage(graphics.Get(), background, whole, placement);
    const SIZE size = ImageSize(strip);
    const int frame_height = frames > 0 ? static_cast<int>(static_cast<unsigned>(size.cy) / frames) : 0;
    DrawSkinImage(graphics.Get(), strip, whole, XYWH(0, frame * frame_height, size.cx, frame_height));
  }
  if (caption && !caption->text->empty()) {
    ScopedSelectObject select_font(memory.Get(), caption->font);
    SetBkMode(memory.Get(), TRANSPARENT);
    SetTextColor(memory.Get(), caption->colour);
    RECT client;
    GetClientRect(caption->window, &client);
    DrawTextW(memory.Get(), caption->text->c_str(), -1, &client, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
  }
  BitBlt(dc, 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
}

template <typename T>
T* FromWindow(HWND window) {
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

// ---- CImageButton ----

int CImageButton::Create(GpBitmap* image, HWND parent, UINT_PTR id, int x, int y, int width, int height) {
  if (!parent || !IsWindow(parent) || !image) return 0;
  image_ = image;
  parent_ = parent;
  id_ = id;
  x_ = x;
  y_ = y;
  width_ = width;
  height_ = height;
  enabled_ = 1;
  state_ = kNormal;
  frame_count_ = kButtonStripFrames;
  caption_.clear();
  window_ = CreateWindowExW(0, L"BUTTON", L"", kControlStyle, x, y, width, height, parent,
                            reinterpret_cast<HMENU>(id), ModuleInstance(), nullptr);
  if (!window_) return 0;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  previous_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CImageButton::ButtonProc)));
  return 1;
}

void CImageButton::Destroy() {
  enabled_ = 0;
  parent_ = nullptr;
  x_ = y_ = width_ = height_ = 0;
  tracking_ = 0;
  id_ = 0;
  state_ = kNormal;
  if (window_ && IsWindow(window_)) {
    if (previous_proc_) SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  window_ = nullptr;
  previous_proc_ = nullptr;
}

void CImageButton::Paint(HDC dc, GpImage* background) {
  if (!dc || !image_ || !background) return;
  const int look = (state_ >= kNormal && state_ <= kDisabled) ? state_ : kNormal;
  const Caption caption = {&caption_, font_, caption_colours_[look - 1], window_};
  PaintLayers(dc, background, XYWH(x_, y_, width_, height_), image_, look - 1, frame_count_, &caption);
}

void CImageButton::SetEnabled(bool enabled) {
  enabled_ = enabled ? 1 : 0;
  if (window_) EnableWindow(window_, enabled ? TRUE : FALSE);
  state_ = enabled ? kNormal : kDisabled;
  if (window_) InvalidateRect(window_, nullptr, FALSE);
}

LRESULT CALLBACK CImageButton::ButtonProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CImageButton* self = FromWindow<CImageButton>(window);
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  const WNDPROC previous = self->previous_proc_;
  bool repaint = false;
  switch (message) {
    case WM_MOUSEMOVE:
      if (self->enabled_) self->state_ = kHover;
      if (!self->tracking_ && ArmMouseTracking(window)) self->tracking_ = 1;
      break;
    case WM_LBUTTONDOWN:
      if (self->enabled_) self->state_ = kPressed;
      self->tracking_ = 1;
      repaint = true;
      break;
    case WM_LBUTTONUP:
      if (self->enabled_) self->state_ = kNormal;
      self->tracking_ = 1;
      repaint = true;
      break;
    case WM_MOUSEHOVER:
      if (self->enabled_) self->state_ = kHover;
      self->tracking_ = 0;
      repaint = true;
      break;
    case WM_MOUSELEAVE:
      if (self->enabled_) self->state_ = kNormal;
      self->tracking_ = 0;
      repaint = true;
      break;
    case WM_NCDESTROY:
      // Gone with its parent: nothing of the window is left to restore at teardown.
      self->window_ = nullptr;
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
  }
  if (repaint) InvalidateRect(window, nullptr, FALSE);
  return CallWindowProcW(previous, window, message, wparam, lparam);
}

// ---- CImageCheckBox ----

int CImageCheckBox::Create(HWND parent, UINT_PTR id, int x, int y) {
  if (!parent || !IsWindow(parent)) return 0;
  parent_ = parent;
  x_ = x;
  y_ = y;
  width_ = kCheckBoxSize;
  height_ = kCheckBoxSize;
  state_ = kUncheckedNormal;
  checked_ = 0;
  if (!image_) image_ = LoadSkinImage(kImageCheckBox);
  window_ = CreateWindowExW(0, L"BUTTON", L"checkbox", kControlStyle, x, y, width_, height_, parent,
                            reinterpret_cast<HMENU>(id), ModuleInstance(), nullptr);
  if (!window_) return 0;
  ShowWindow(window_, SW_SHOW);
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  previous_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CImageCheckBox::CheckBoxProc)));
  return 1;
}

void CImageCheckBox::Destroy() {
  checked_ = 0;
  parent_ = nullptr;
  x_ = y_ = width_ = height_ = 0;
  tracking_ = 0;
  state_ = kUncheckedNormal;
  DisposeImage(&image_);
  if (window_ && IsWindow(window_)) {
    if (previous_proc_) SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  window_ = nullptr;
  previous_proc_ = nullptr;
}

void CImageCheckBox::Paint(HDC dc, GpImage* background) {
  if (!dc || !image_ || !background) return;
  // Unchecked frames come first in the strip, then the checked ones.
  int frame = 0;
  if (state_ >= kUncheckedNormal && state_ <= kUncheckedPressed) frame = state_ - kUncheckedNormal;
  else if (state_ >= kCheckedNormal && state_ <= kCheckedPressed) frame = state_ - kCheckedNormal + 3;
  PaintLayers(dc, background, XYWH(x_, y_, width_, height_), image_, frame, kCheckBoxStripFrames, nullptr);
}

LRESULT CALLBACK CImageCheckBox::CheckBoxProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CImageCheckBox* self = FromWindow<CImageCheckBox>(window);
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  const WNDPROC previous = self->previous_proc_;
  bool repaint = false;
  switch (message) {
    case WM_MOUSEMOVE:
      self->state_ = self->StateFor(kCheckedHover);
      if (!self->tracking_ && ArmMouseTracking(window)) self->tracking_ = 1;
      break;
    case WM_LBUTTONDOWN:
      self->state_ = self->StateFor(kCheckedPressed);
      self->tracking_ = 1;
      repaint = true;
      break;
    case WM_LBUTTONUP:
      self->state_ = self->StateFor(kCheckedNormal);
      self->tracking_ = 1;
      repaint = true;
      break;
    case WM_MOUSEHOVER:
      self->state_ = self->StateFor(kCheckedHover);
      self->tracking_ = 0;
      repaint = true;
      break;
    case WM_MOUSELEAVE:
      self->state_ = self->StateFor(kCheckedNormal);
      self->tracking_ = 0;
      repaint = true;
      break;
    case BM_SETCHECK:
      self->checked_ = wparam;
      self->state_ = wparam ? kCheckedNormal : kUncheckedNormal;
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case BM_GETCHECK:
      return static_cast<LRESULT>(self->checked_);
    case WM_NCDESTROY:
      self->window_ = nullptr;
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      break;
  }
  if (repaint) InvalidateRect(window, nullptr, FALSE);
  return CallWindowProcW(previous, window, message, wparam, lparam);
}

// ---- CenterWindow ----

void CenterWindow(HWND window) {
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  HWND owner = GetWindow(window, GW_OWNER);
  RECT window_rect;
  if (!GetWindowRect(window, &window_rect)) return;
  RECT limit;
  RECT centre;
  if (!(style & WS_CHILD)) {
    if (owner && (!(GetWindowLongPtrW(owner, GWL_STYLE) & WS_VISIBLE) || IsIconic(owner))) owner = nullptr;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &limit, 0);
    if (!owner || !GetWindowRect(owner, &centre)) centre = limit;
  } else {
    // A child has no owner of its own; it centres on its parent.
    HWND parent = GetParent(window);
    GetClientRect(parent, &limit);
    HWND around = owner ? owner : parent;
    GetClientRect(around, &centre);
    MapWindowPoints(around, parent, reinterpret_cast<POINT*>(&centre), 2);
  }
  const int width = window_rect.right - window_rect.left;
  const int height = window_rect.bottom - window_rect.top;
  int left = (centre.left + centre.right) / 2 - width / 2;
  int top = (centre.top + centre.bottom) / 2 - height / 2;
  if (left < limit.left) left = limit.left;
  else if (left + width > limit.right) left = limit.right - width;
  if (top < limit.top) top = limit.top;
  else if (top + height > limit.bottom) top = limit.bottom - height;
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace kelo
