#pragma once
// Where everything of the installer window is: control ids, skin image ids, positions and
// timers. Coordinates are in the main window's client area.
#include <windows.h>

namespace kelo {

// Skin images (resource type "png").
enum SkinImage : int {
  kImageFirst = 129,
  kImageMainBackground = 130,
  kImageClose = 131,
  kImageExpand = 132,
  kImageQuickInstall = 134,
  kImageExpandedBackground = 136,
  kImageCheckBox = 139,
  kImageBrowse = 140,
  kImageInstalling = 147,
  kImageFinished = 149,
  kImageInstallNow = 150,
  kImageCollapse = 151,
  kImageFieldStrip = 152,
  kImageLast = 152,
};
inline constexpr wchar_t kSkinResourceType[] = L"png";
inline constexpr int kIconResourceId = 108;

// Frames stacked in the strips.
inline constexpr int kButtonStripFrames = 3;
inline constexpr int kCheckBoxStripFrames = 6;
inline constexpr int kCheckBoxSize = 15;

// Controls.
enum ControlId : int {
  kIdClose = 930,
  kIdQuickInstall = 931,
  kIdExpand = 932,
  kIdBrowse = 933,
  kIdInstallNow = 934,
  kIdCollapse = 935,
  kIdDesktopShortcutBox = 945,
  kIdTaskbarBox = 946,
  kIdDefaultBrowserBox = 947,
  kIdLicenceBox = 949,
  kIdExperienceBox = 950,
  kIdDesktopShortcutLabel = 961,
  kIdTaskbarLabel = 962,
  kIdDefaultBrowserLabel = 963,
  kIdLicenceLabel = 966,
  kIdExperienceLabel = 967,
  kIdFeedbackLink = 968,
  kIdProgressWords = 969,
  kIdDirField = 977,
};

// Window sizes.
inline constexpr int kWindowWidth = 600;
inline constexpr int kCollapsedHeight = 400;
inline constexpr int kExpandedHeight = 464;
inline constexpr int kRegionCorner = 5;
// The skin's grey band colour; the expanded view continues it below the artwork.
inline constexpr COLORREF kBandColour = RGB(0xEE, 0xF1, 0xF4);

// Label offset added to the option labels' y once resources are set up.
inline constexpr int kLabelOffset = 2;
inline constexpr int kOptionLabelY = 354;
inline constexpr int kLabelWidth = 120;
inline constexpr int kLabelHeight = 20;

inline constexpr POINT kFieldStripPos = {11, 315};
inline constexpr RECT kDirFieldRect = {11, 315, 11 + 499, 315 + 30};
inline constexpr int kDirFieldCreateY = 317;
inline constexpr int kDirFieldTextPad = 5;
inline constexpr RECT kStatusLabelRect = {380, 323, 380 + 250, 323 + 20};
inline constexpr RECT kWarningLabelRect = {120, 210, 120 + 380, 210 + 20};
inline constexpr int kIndicatorCentreY = 300;

// The failure page.
inline constexpr POINT kFailureTitlePos = {280, 320};
inline constexpr POINT kFeedbackLinkPos = {240, 340};
inline constexpr POINT kFailureAdvicePos[3] = {{200, 300}, {200, 340}, {200, 360}};
// After an install started from the expanded view, the directory row and the options are
// back on the failure page's lower rows: its words rise into the empty artwork above them.
inline constexpr int kExpandedFailureRise = 64;
constexpr POINT FailureTextPos(POINT pos, bool expanded) {
  return {pos.x, expanded ? pos.y - kExpandedFailureRise : pos.y};
}
inline constexpr POINT kLogLinePos = {20, 381};
// The progress bar under the installing picture, in the skin's colours.
inline constexpr int kProgressBarGap = 10;
inline constexpr int kProgressBarHeight = 6;
inline constexpr COLORREF kProgressTrackColour = RGB(0xD9, 0xEE, 0xE1);
inline constexpr COLORREF kProgressFillColour = RGB(0x2E, 0x9D, 0x5B);
// The keyboard's focus mark around a control, in the skin's green.
inline constexpr COLORREF kFocusMarkColour = kProgressFillColour;
// The labels that open a page.
constexpr bool IsLinkId(int id) { return id == kIdLicenceLabel || id == kIdFeedbackLink; }
// The order Tab walks the controls in (hidden ones are passed over): the install first,
// then what it needs (the licence words open the agreement), then the way out.
inline constexpr int kTabOrder[] = {kIdQuickInstall, kIdLicenceBox, kIdLicenceLabel, kIdExpand, kIdDirField, kIdBrowse,
                                    kIdDesktopShortcutBox, kIdTaskbarBox, kIdDefaultBrowserBox, kIdExperienceBox,
                                    kIdInstallNow, kIdCollapse, kIdFeedbackLink, kIdClose};
inline constexpr COLORREF kLogLineColour = RGB(0x80, 0x80, 0x80);
inline constexpr COLORREF kErrorColour = RGB(255, 0, 0);
inline constexpr COLORREF kFailureTitleColour = RGB(0, 0, 255);
inline constexpr COLORREF kFrameColour = RGB(190, 207, 219);

// Timers of the main window.
enum TimerId : UINT_PTR {
  TIMER_RUNNING_CHECK = 10000,
  TIMER_SHRINK = 10002,
  TIMER_CLOSE = 10005,
};
inline constexpr UINT kRunningCheckPeriodMs = 100;
inline constexpr UINT kShrinkPeriodMs = 10;
inline constexpr UINT kCloseDelayMs = 2000;
inline constexpr int kShrinkStep = 20;

// Dragging: a move by the caption, which the system runs until the button is released.
inline constexpr WPARAM kDragCommand = SC_MOVE | HTCAPTION;

}  // namespace kelo
