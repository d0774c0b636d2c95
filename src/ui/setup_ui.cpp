#include "ui/setup_ui.h"

#include <new>

#include "base/product.h"
#include "base/start_thread.h"
#include "ui/skin.h"

namespace kelo {

namespace {

CSetupUI* g_ui = nullptr;

template <typename T, size_t N>
int IndexOf(const T (&ids)[N], int id) {
  for (size_t i = 0; i < N; ++i)
    if (ids[i] == id) return static_cast<int>(i);
  return -1;
}

void DestroyIfWindow(HWND* window) {
  if (*window && IsWindow(*window)) DestroyWindow(*window);
  *window = nullptr;
}

}  // namespace

CSetupUI::CSetupUI() {
  for (int id = kImageFirst; id <= kImageLast; ++id) images_[id - kImageFirst].SetId(id);
  if (const GdiplusApi* gdip = Gdiplus()) {
    const GdiplusStartupInput input = {1, nullptr, FALSE, FALSE};
    gdip->Startup(&gdiplus_token, &input, nullptr);
  }
}

CSetupUI::~CSetupUI() { DestroyUI(); }

void CSetupUI::InitUIResources() {
  label_offset = kLabelOffset;
  font = CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, PROOF_QUALITY, DEFAULT_PITCH | FF_DONTCARE, kWindowFontFace);
  frame_brush = CreateSolidBrush(kFrameColour);
}

HCURSOR CSetupUI::HandCursor() {
  if (!hand_cursor_) hand_cursor_ = LoadCursorW(nullptr, IDC_HAND);
  return hand_cursor_;
}

void CSetupUI::DecodeAhead(std::vector<int> ids) {
  if (decoder_.joinable()) return;
  // Without the thread, each picture is decoded when first drawn.
  StartThread(&decoder_, [this, ids = std::move(ids)] {
    for (int id : ids) Image(id);
  });
}

void CSetupUI::DestroyUI() {
  if (decoder_.joinable()) decoder_.join();
  if (previous_main_proc && main_window && IsWindow(main_window))
    SetWindowLongPtrW(main_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_main_proc));
  previous_main_proc = nullptr;
  if (font) DeleteObject(font);
  font = nullptr;
  if (frame_brush) DeleteObject(frame_brush);
  frame_brush = nullptr;
  for (SkinBitmap& image : images_) image.Reset();
  DisposeImage(&expanded_background_);
  for (auto& button : buttons) button.reset();
  for (auto& box : check_boxes) box.reset();
  for (HWND& label : labels) DestroyIfWindow(&label);
  DestroyIfWindow(&status_label);
  DestroyIfWindow(&warning_label);
  DestroyIfWindow(&dir_field);
  previous_field_proc = nullptr;
}

GpBitmap* CSetupUI::Image(int id) const {
  SkinBitmap* image = Skin(id);
  return image ? image->Get() : nullptr;
}

SkinBitmap* CSetupUI::Skin(int id) const {
  if (id < kImageFirst || id > kImageLast) return nullptr;
  return &images_[id - kImageFirst];
}

CImageButton* CSetupUI::Button(int id) const {
  const int i = IndexOf(kButtonIds, id);
  return i < 0 ? nullptr : buttons[i].get();
}

CImageCheckBox* CSetupUI::CheckBox(int id) const {
  const int i = IndexOf(kCheckBoxIds, id);
  return i < 0 ? nullptr : check_boxes[i].get();
}

HWND CSetupUI::Label(int id) const {
  const int i = IndexOf(kLabelIds, id);
  return i < 0 ? nullptr : labels[i];
}

HWND CSetupUI::Control(int id) const {
  if (const CImageButton* button = Button(id)) return button->window();
  if (const CImageCheckBox* box = CheckBox(id)) return box->window();
  return Label(id);
}

bool CSetupUI::IsChecked(int id) const {
  const CImageCheckBox* box = CheckBox(id);
  return box && box->window() && SendMessageW(box->window(), BM_GETCHECK, 0, 0) != 0;
}

std::wstring WindowText(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

RECT CSetupUI::PlaceOf(HWND control) const {
  RECT rect = {};
  if (control && GetWindowRect(control, &rect))
    MapWindowPoints(nullptr, main_window, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

GpImage* CSetupUI::ViewBackground() const {
  return expanded ? ExpandedBackground() : Image(kImageMainBackground);
}

GpImage* CSetupUI::ExpandedBackground() const {
  if (!expanded_background_)
    expanded_background_ = ExtendImage(Image(kImageExpandedBackground), kWindowWidth, kExpandedHeight, kBandColour);
  return expanded_background_;
}

CSetupUI* GetUI() {
  if (!g_ui) g_ui = new (std::nothrow) CSetupUI();
  return g_ui;
}

void DeleteUI() {
  if (!g_ui) return;
  // Images must be gone before GDI+ is.
  g_ui->DestroyUI();
  const ULONG_PTR token = g_ui->gdiplus_token;
  delete g_ui;
  g_ui = nullptr;
  if (token && Gdiplus()) Gdiplus()->Shutdown(token);
}

}  // namespace kelo
