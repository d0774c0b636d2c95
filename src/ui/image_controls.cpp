#include "ui/image_controls.h"

#include "base/module.h"
#include "base/win_holders.h"
#include "ui/control_accessible.h"
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

// Background under the control and one frame of its strip on top, composed off screen and
// copied in one go so the control never flickers.
void PaintLayers(HDC dc, GpImage* background, const RECT& placement, GpImage* strip, int frame, int frames) {
  const int width = placement.right - placement.left;
  const int height = placement.bottom - placement.top;
  ScopedMemDC memory(dc);
  ScopedGdiObj<HBITMAP> bitmap(CreateCompatibleBitmap(dc, width, height));
  if (!memory.Get() || !bitmap.Get()) return;
  ScopedSelectObject select_bitmap(memory.Get(), bitmap.Get());
  {
    // Deleted before the bitmap is copied.
    ScopedGraphics graphics(CreateGraphics(memory.Get()));
    const RECT whole = XYWH(0, 0, width, height);
    DrawSkinImage(graphics.Get(), background, whole, placement);
    const SIZE size = ImageSize(strip);
    const int frame_height = frames > 0 ? static_cast<int>(static_cast<unsigned>(size.cy) / frames) : 0;
    DrawSkinImage(graphics.Get(), strip, whole, XYWH(0, frame * frame_height, size.cx, frame_height));
  }
  BitBlt(dc, 0, 0, width, height, memory.Get(), 0, 0, SRCCOPY);
}

template <typename T>
T* FromWindow(HWND window) {
  return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

bool PointerLook::Follow(HWND window, UINT message, Look* look, bool* repaint) {
  *repaint = true;
  switch (message) {
    case WM_MOUSEMOVE:
      // The hover look is drawn when the pointer rests (WM_MOUSEHOVER), not on every move.
      *look = kHover;
      *repaint = false;
      if (!armed_ && ArmMouseTracking(window)) armed_ = true;
      return true;
    case WM_LBUTTONDOWN:
      *look = kPressed;
      armed_ = true;
      return true;
    case WM_LBUTTONUP:
      *look = kNormal;
      armed_ = true;
      return true;
    case WM_MOUSEHOVER:
      *look = kHover;
      armed_ = false;
      return true;
    case WM_MOUSELEAVE:
      *look = kNormal;
      armed_ = false;
      return true;
  }
  *repaint = false;
  return false;
}

// ---- ControlWindow ----

bool ControlWindow::Create(const wchar_t* text, HWND parent, UINT_PTR id, const RECT& placement, WNDPROC proc,
                           void* control) {
  placement_ = placement;
  window_ = CreateWindowExW(0, L"BUTTON", text, kControlStyle, placement.left, placement.top,
                            placement.right - placement.left, placement.bottom - placement.top, parent,
                            reinterpret_cast<HMENU>(id), ModuleInstance(), nullptr);
  if (!window_) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(control));
  previous_proc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
  return true;
}

void ControlWindow::Destroy() {
  if (window_ && IsWindow(window_)) {
    if (previous_proc_) SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  *this = ControlWindow();
}

void ControlWindow::Release(HWND window) {
  SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_proc_));
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  window_ = nullptr;
}

// ---- CImageButton ----

int CImageButton::Create(SkinBitmap* image, HWND parent, UINT_PTR id, int x, int y, int width, int height) {
  if (!parent || !IsWindow(parent) || !image || image->Size().cx == 0) return 0;
  image_ = image;
  enabled_ = 1;
  state_ = kNormal;
  return control_.Create(L"", parent, id, XYWH(x, y, width, height), &CImageButton::ButtonProc, this) ? 1 : 0;
}

void CImageButton::Destroy() {
  enabled_ = 0;
  state_ = kNormal;
  control_.Destroy();
}

void CImageButton::Paint(HDC dc, GpImage* background) {
  if (!dc || !image_ || !image_->Get() || !background) return;
  const int look = (state_ >= kNormal && state_ <= kDisabled) ? state_ : kNormal;
  PaintLayers(dc, background, control_.placement(), image_->Get(), look - 1, kButtonStripFrames);
}

void CImageButton::SetEnabled(bool enabled) {
  enabled_ = enabled ? 1 : 0;
  HWND window = control_.window();
  if (window) EnableWindow(window, enabled ? TRUE : FALSE);
  state_ = enabled ? kNormal : kDisabled;
  if (window) InvalidateRect(window, nullptr, FALSE);
}

void CImageButton::SetDescription(const std::wstring& description) {
  description_ = description;
  if (HWND window = control_.window()) NotifyWinEvent(EVENT_OBJECT_DESCRIPTIONCHANGE, window, OBJID_CLIENT, CHILDID_SELF);
}

LRESULT CALLBACK CImageButton::ButtonProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CImageButton* self = FromWindow<CImageButton>(window);
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  const WNDPROC previous = self->control_.previous_proc();
  PointerLook::Look look;
  bool repaint = false;
  // A disabled button keeps its look whatever the mouse does.
  if (self->control_.Follow(window, message, &look, &repaint) && self->enabled_) self->state_ = kNormal + look;
  if (message == WM_NCDESTROY) self->control_.Release(window);
  if (message == WM_GETOBJECT) {
    if (const LRESULT answer = AnswerGetObject(window, wparam, lparam, ROLE_SYSTEM_PUSHBUTTON)) return answer;
  }
  if (message == WM_KELO_GETDESCRIPTION) {
    if (std::wstring* asked = WordsAsked()) *asked = self->description_;
    return TRUE;
  }
  if (repaint) InvalidateRect(window, nullptr, FALSE);
  return CallWindowProcW(previous, window, message, wparam, lparam);
}

// ---- CImageCheckBox ----

int CImageCheckBox::Create(HWND parent, UINT_PTR id, int x, int y) {
  if (!parent || !IsWindow(parent)) return 0;
  state_ = kUncheckedNormal;
  checked_ = 0;
  image_.SetId(kImageCheckBox);
  if (!control_.Create(L"checkbox", parent, id, XYWH(x, y, kCheckBoxSize, kCheckBoxSize),
                       &CImageCheckBox::CheckBoxProc, this))
    return 0;
  ShowWindow(control_.window(), SW_SHOW);
  return 1;
}

void CImageCheckBox::Destroy() {
  checked_ = 0;
  state_ = kUncheckedNormal;
  image_.Reset();
  control_.Destroy();
}

void CImageCheckBox::Paint(HDC dc, GpImage* background) {
  if (!dc || !image_.Get() || !background) return;
  // Unchecked frames come first in the strip, then the checked ones.
  int frame = 0;
  if (state_ >= kUncheckedNormal && state_ <= kUncheckedPressed) frame = state_ - kUncheckedNormal;
  else if (state_ >= kCheckedNormal && state_ <= kCheckedPressed) frame = state_ - kCheckedNormal + 3;
  PaintLayers(dc, background, control_.placement(), image_.Get(), frame, kCheckBoxStripFrames);
}

LRESULT CALLBACK CImageCheckBox::CheckBoxProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  CImageCheckBox* self = FromWindow<CImageCheckBox>(window);
  if (!self) return DefWindowProcW(window, message, wparam, lparam);
  const WNDPROC previous = self->control_.previous_proc();
  PointerLook::Look look;
  bool repaint = false;
  if (self->control_.Follow(window, message, &look, &repaint)) self->state_ = self->StateFor(kCheckedNormal + look);
  switch (message) {
    case BM_SETCHECK:
      self->checked_ = wparam;
      self->state_ = wparam ? kCheckedNormal : kUncheckedNormal;
      InvalidateRect(window, nullptr, FALSE);
      // Screen readers hear of the change, as of a system check box's.
      NotifyWinEvent(EVENT_OBJECT_STATECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
      return 0;
    case BM_GETCHECK:
      return static_cast<LRESULT>(self->checked_);
    case WM_GETOBJECT:
      if (const LRESULT answer = AnswerGetObject(window, wparam, lparam, ROLE_SYSTEM_CHECKBUTTON)) return answer;
      break;
    case WM_NCDESTROY:
      self->control_.Release(window);
      break;
  }
  if (repaint) InvalidateRect(window, nullptr, FALSE);
  return CallWindowProcW(previous, window, message, wparam, lparam);
}

// ---- CenterWindow ----

void CenterWindow(HWND window) {
  HWND owner = GetWindow(window, GW_OWNER);
  RECT window_rect;
  if (!GetWindowRect(window, &window_rect)) return;
  RECT limit;
  RECT centre;
  if (owner && (!(GetWindowLongPtrW(owner, GWL_STYLE) & WS_VISIBLE) || IsIconic(owner))) owner = nullptr;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &limit, 0);
  if (!owner || !GetWindowRect(owner, &centre)) centre = limit;
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
