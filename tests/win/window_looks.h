#pragma once
// How the installer's views must look, composed from our own skin PNGs exactly where the
// window places them, with the places that hold text left out of the comparison.
#include <windows.h>

#include <vector>

#include "screen_image.h"

#include <string>

namespace kelo::test {

struct Look {
  Image expected;
  std::vector<RECT> holes;   // text drawn by the system font
  std::vector<RECT> worded;  // holes where a label's words must show
};

// The bare background of a view: what shows where no control stands.
Look BackgroundLook(bool expanded);
Look CollapsedLook();
Look ExpandedLook();
// A view without controls and with `picture` (147 installing, 149 finished) at the
// indicator, over the collapsed or the expanded background.
Look IndicatorLook(int picture, bool expanded_background);
// The failure view: background and close button; the text rows are holes.
Look FailureLook();

// Frame `frame` of the strip of skin image `id` at (x, y) in `look`.
void PlaceFrame(Look* look, int id, int frame, int frames, int x, int y);

// How long a look may take to show: a repaint, whose message waits for a queue that a loaded
// machine may keep busy for seconds, or a whole install before the finished or failure view
// (decode, flushes and commit on a loaded machine).
inline constexpr DWORD kRepaintWaitMs = 10000;
inline constexpr DWORD kInstallWaitMs = 60000;
// The running browser's warning follows a 100 ms timer, whose ticks wait for a queue that a
// loaded machine may keep busy for seconds.
inline constexpr DWORD kRunningCheckWaitMs = 10000;

// Waits (bounded) until `window`'s client area shows the look inside `area` (all of it
// when empty), words in each of its worded holes, and returns the last difference (a
// worded hole without words counts as one differing pixel, at its corner). With a name, the last screenshot goes to
// <build>/screenshots/<name>.png.
Difference AwaitLook(HWND window, const Look& look, const wchar_t* name = nullptr, RECT area = {},
                     DWORD timeout_ms = kRepaintWaitMs);

// Pixels that are clearly red, or clearly blue: anti-aliased text of that colour.
int CountReddish(const Image& image, const RECT& area);
int CountBluish(const Image& image, const RECT& area);
int CountDarkGrey(const Image& image, const RECT& area);  // the log line's words

// Rectangles where the window draws texts.
inline constexpr RECT kAdviceRows = {200, 298, 600, 380};
// Where the failure views name the install log.
inline constexpr RECT kLogRow = {20, 380, 600, 396};
inline constexpr RECT kFeedbackRows = {235, 318, 600, 360};

}  // namespace kelo::test
