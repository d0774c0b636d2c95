#include "window_looks.h"

#include "installer_driver.h"
#include "sysreg_scratch.h"
#include "ui/window_layout.h"

namespace kelo::test {

namespace {

constexpr uint32_t kBand = 0xEEF1F4;

// A label's place, left out of the comparison, where its words must show all the same.
void AddLabel(Look* look, int x, int y) {
  const RECT place = {x, y, x + kLabelWidth, y + kLabelHeight};
  look->holes.push_back(place);
  look->worded.push_back(place);
}

// Fewer dark pixels than a single character of the window's font leaves.
constexpr int kWordPixels = 20;

}  // namespace

void PlaceFrame(Look* look, int id, int frame, int frames, int x, int y) {
  Blend(&look->expected, Frame(LoadSkin(id), frame, frames), x, y);
}

Look BackgroundLook(bool expanded) {
  Look look;
  if (expanded) {
    look.expected = Solid(kWindowWidth, kExpandedHeight, kBand);
    Blend(&look.expected, LoadSkin(kImageExpandedBackground), 0, 0);
    Blend(&look.expected, LoadSkin(kImageFieldStrip), kFieldStripPos.x, kFieldStripPos.y);
  } else {
    look.expected = LoadSkin(kImageMainBackground);
  }
  return look;
}

Look CollapsedLook() {
  Look look = BackgroundLook(false);
  PlaceFrame(&look, kImageClose, 0, 3, 565, 0);
  PlaceFrame(&look, kImageQuickInstall, 0, 3, 214, 234);
  PlaceFrame(&look, kImageExpand, 0, 3, 507, 372);
  PlaceFrame(&look, kImageCheckBox, 3, 6, 13, 380);  // checked
  AddLabel(&look, 34, 382);
  return look;
}

Look ExpandedLook() {
  Look look = BackgroundLook(true);
  PlaceFrame(&look, kImageClose, 0, 3, 565, 0);
  PlaceFrame(&look, kImageQuickInstall, 0, 3, 214, 234);
  PlaceFrame(&look, kImageBrowse, 0, 3, 510, 315);
  PlaceFrame(&look, kImageCollapse, 0, 3, 507, 372);
  PlaceFrame(&look, kImageInstallNow, 0, 3, 352, 405);
  for (POINT box : {POINT{11, 354}, POINT{146, 354}, POINT{248, 354}, POINT{360, 354}})
    PlaceFrame(&look, kImageCheckBox, 3, 6, box.x, box.y);
  for (POINT label : {POINT{32, 356}, POINT{167, 356}, POINT{269, 356}, POINT{381, 356}})
    AddLabel(&look, label.x, label.y);
  look.holes.push_back(kDirFieldRect);  // the edit control draws its own text and frame
  look.holes.push_back(kStatusLabelRect);
  return look;
}

Look IndicatorLook(int picture, bool expanded_background) {
  Look look = BackgroundLook(expanded_background);
  look.expected = Crop(look.expected, 0, 0, kWindowWidth, kCollapsedHeight);
  const Image indicator = LoadSkin(picture);
  Blend(&look.expected, indicator, 214, 275);
  // The progress bar under the installing picture moves with the install: looked at apart.
  if (picture == kImageInstalling) {
    const int top = 275 + indicator.height + kProgressBarGap;
    look.holes.push_back(RECT{214, top, 214 + indicator.width, top + kProgressBarHeight});
  }
  return look;
}

Look FailureLook() {
  Look look;
  look.expected = LoadSkin(kImageMainBackground);
  PlaceFrame(&look, kImageClose, 0, 3, 565, 0);
  look.holes.push_back(kAdviceRows);
  look.holes.push_back(kLogRow);
  return look;
}

namespace {

int CountWhere(const Image& image, const RECT& area, bool (*test)(int r, int g, int b)) {
  int count = 0;
  for (int y = area.top; y < area.bottom && y < image.height; ++y) {
    for (int x = area.left; x < area.right && x < image.width; ++x) {
      if (x < 0 || y < 0) continue;
      const uint32_t p = image.At(x, y);
      if (test((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF)) ++count;
    }
  }
  return count;
}

}  // namespace

int CountReddish(const Image& image, const RECT& area) {
  return CountWhere(image, area, [](int r, int g, int b) { return r > g + 60 && r > b + 60; });
}

int CountBluish(const Image& image, const RECT& area) {
  return CountWhere(image, area, [](int r, int g, int b) { return b > r + 60 && b > g + 40; });
}

int CountDarkGrey(const Image& image, const RECT& area) {
  return CountWhere(image, area, [](int r, int g, int b) { return r < 0xB0 && abs(r - g) < 16 && abs(g - b) < 16; });
}

Difference AwaitLook(HWND window, const Look& look, const wchar_t* name, RECT area, DWORD timeout_ms) {
  if (IsRectEmpty(&area)) area = RECT{0, 0, look.expected.width, look.expected.height};
  Image shot;
  Difference difference;
  PollFor(
      [&] {
        shot = CaptureClient(window);
        if (shot.width != look.expected.width || shot.height != look.expected.height) {
          difference = Difference();
          difference.differing = -1;
          return false;
        }
        difference = Compare(shot, look.expected, area, 12, look.holes);
        // Only those the area looked at holds whole, as far as they lie in the window.
        const RECT client = {0, 0, shot.width, shot.height};
        for (const RECT& words : look.worded) {
          RECT shown, inside;
          if (!IntersectRect(&shown, &words, &client) || !IntersectRect(&inside, &shown, &area) ||
              !EqualRect(&inside, &shown) || CountDarkGrey(shot, shown) >= kWordPixels)
            continue;
          if (difference.differing++ == 0) difference.first = POINT{words.left, words.top};
        }
        return difference.differing == 0;
      },
      timeout_ms);
  if (name) SavePng(shot, ScreenshotDir() + L"\\" + name + L".png");
  return difference;
}

}  // namespace kelo::test
