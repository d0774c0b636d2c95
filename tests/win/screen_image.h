#pragma once
// Pictures for the window tests: what the screen shows of a window, the skin PNGs as
// decoded by GDI+, the expected look composed from them, and a tolerant comparison.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelo::test {

// 0xAARRGGBB pixels, rows top to bottom. Screen captures are opaque.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  bool empty() const { return pixels.empty(); }
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  uint32_t& At(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
};

// Starts GDI+ for the test process once.
void StartGdiplus();

// The screen's pixels of a screen rectangle.
Image CaptureScreen(const RECT& rect);
// The client area of a window as the screen shows it.
Image CaptureClient(HWND window);

bool SavePng(const Image& image, const std::wstring& path);
Image LoadPng(const std::wstring& path);

// A skin image by id, from the skin folder of the source tree.
Image LoadSkin(int id);
// Frame `frame` of a strip of `frames` equal frames.
Image Frame(const Image& strip, int frame, int frames);
// An opaque canvas of one colour.
Image Solid(int width, int height, uint32_t rgb);
// `top` laid over `base` at (x, y) with its alpha; parts outside `base` are dropped.
void Blend(Image* base, const Image& top, int x, int y);
// The part of `image` at (x, y, width, height); parts outside are transparent black.
Image Crop(const Image& image, int x, int y, int width, int height);

struct Difference {
  int compared = 0;
  int differing = 0;   // pixels with a channel off by more than the tolerance
  int worst = 0;       // largest channel difference seen
  POINT first = {-1, -1};
  uint32_t first_actual = 0;
  uint32_t first_expected = 0;
  std::string Describe() const;
};

// Compares `actual` with `expected` inside `area`, leaving out `holes` and the window's
// rounded corners (`corner` pixels of each corner).
Difference Compare(const Image& actual, const Image& expected, const RECT& area, int tolerance,
                   const std::vector<RECT>& holes = {}, int corner = 3);

// How many pixels of `area` are near the colour (each channel within tolerance).
int CountNear(const Image& image, const RECT& area, uint32_t rgb, int tolerance);

}  // namespace kelo::test
