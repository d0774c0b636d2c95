#pragma once
// The user-interface context: one per process, created on first use by GetUI. It owns GDI+
// for the process, the window's font, brush and cursor, the skin images, the control
// objects, and the state of the main window's views.
#include <windows.h>

#include <memory>
#include <thread>
#include <vector>

#include "ui/gdiplus_api.h"
#include "ui/image_controls.h"
#include "ui/skin.h"
#include "ui/window_layout.h"

namespace kelo {

class InstallControl;

class CSetupUI {
 public:
  CSetupUI();  // starts GDI+
  virtual ~CSetupUI();
  CSetupUI(const CSetupUI&) = delete;
  CSetupUI& operator=(const CSetupUI&) = delete;

  // Once, before the window is built: label offset, font, frame brush.
  void InitUIResources();
  // Once, after the message loop: gives back the window procedure, the GDI objects, the
  // images and the controls. GDI+ itself stays up until DeleteUI.
  void DestroyUI();

  // Null for an id outside the skin or an image that did not load. Decoded on first use.
  GpBitmap* Image(int id) const;
  // Decodes these images on a thread of their own, while the window is being made.
  void DecodeAhead(std::vector<int> ids);
  // The image itself, for its size before it is decoded and for the controls that draw it.
  SkinBitmap* Skin(int id) const;
  CImageButton* Button(int id) const;
  CImageCheckBox* CheckBox(int id) const;
  // The option and licence labels by id (961, 962, 963, 966, 967).
  HWND Label(int id) const;
  // The window of the button, check box or label `id`; null for any other id.
  HWND Control(int id) const;
  bool IsChecked(int id) const;
  // Where `control` stands in the main window's client area; empty when it is no window.
  RECT PlaceOf(HWND control) const;

  // The hand shown over links, loaded at its first use: a system cursor takes Wine some 20 ms
  // to load, and nothing needs it before the pointer is over a link.
  HCURSOR HandCursor();

  // The background that lies under everything in the current view: the expanded picture
  // continued by the grey band, or the main picture.
  GpImage* ViewBackground() const;
  // Image 136 on the full expanded height: rows below the artwork carry the band colour.
  GpImage* ExpandedBackground() const;
  // Whether the window paints a failure's words.
  bool ShowsFailure() const { return failure_advice || failure_damaged || failure_feedback; }

  int label_offset = 0;
  ULONG_PTR gdiplus_token = 0;
  HFONT font = nullptr;
  HBRUSH frame_brush = nullptr;

  // Where the install command goes; the window knows nothing else of the installer.
  InstallControl* installer = nullptr;
  HWND main_window = nullptr;
  WNDPROC previous_main_proc = nullptr;

  static constexpr int kButtonIds[6] = {kIdClose, kIdQuickInstall, kIdExpand, kIdBrowse, kIdInstallNow, kIdCollapse};
  static constexpr int kCheckBoxIds[5] = {kIdDesktopShortcutBox, kIdTaskbarBox, kIdDefaultBrowserBox, kIdLicenceBox,
                                          kIdExperienceBox};
  static constexpr int kLabelIds[5] = {kIdDesktopShortcutLabel, kIdTaskbarLabel, kIdDefaultBrowserLabel,
                                       kIdLicenceLabel, kIdExperienceLabel};
  std::unique_ptr<CImageButton> buttons[6];
  std::unique_ptr<CImageCheckBox> check_boxes[5];
  HWND labels[5] = {};
  HWND status_label = nullptr;
  HWND warning_label = nullptr;
  HWND dir_field = nullptr;
  WNDPROC previous_field_proc = nullptr;

  POINT indicator = {0, 0};
  bool expanded = false;
  bool installing = false;
  int progress_permille = 0;  // how far the payload is written, while installing
  bool finished = false;
  // The last install failed and nothing succeeded since: the program ends with an error.
  bool install_failed = false;
  bool failure_advice = false;
  bool failure_damaged = false;  // the payload failed its checksum: advice would not help
  bool failure_feedback = false;
  // Over the painted feedback words, as large as they: a stop for the keyboard, and a link
  // for screen readers. It paints nothing itself.
  HWND feedback_link = nullptr;
  // Over the indicator: what the progress and finished views say, and how far the install
  // is, for screen readers; the focus rests on it while they show. It paints nothing.
  HWND progress_words = nullptr;

  bool dir_valid = false;
  // The keyboard has moved the focus: from then on the focused control shows a mark.
  bool keyboard_cues = false;
  bool running = false;
  // Labels 963, 961 and 962 are fitted to their words once, at their first colouring.
  bool label_unfitted[3] = {true, true, true};

 private:
  // Decoded as the views first need them.
  mutable SkinBitmap images_[kImageLast - kImageFirst + 1];
  mutable GpBitmap* expanded_background_ = nullptr;
  std::thread decoder_;
  HCURSOR hand_cursor_ = nullptr;
};

// The context, created on first use; null only when it cannot be allocated.
CSetupUI* GetUI();
// Shuts GDI+ down and deletes the context; the last step of the program's shutdown.
void DeleteUI();

// A control's whole text.
std::wstring WindowText(HWND control);

}  // namespace kelo
