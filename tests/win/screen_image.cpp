#include "screen_image.h"
#include "sysreg_scratch.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kelo::test {

namespace {

int Channel(uint32_t pixel, int shift) { return static_cast<int>((pixel >> shift) & 0xFF); }

int ChannelDistance(uint32_t a, uint32_t b) {
  int worst = 0;
  for (int shift : {0, 8, 16}) worst = std::max(worst, std::abs(Channel(a, shift) - Channel(b, shift)));
  return worst;
}

bool InCorner(int x, int y, int width, int height, int corner) {
  const bool left = x < corner, right = x >= width - corner, top = y < corner, bottom = y >= height - corner;
  return (left || right) && (top || bottom);
}

}  // namespace

void StartGdiplus() {
  static ULONG_PTR token = 0;
  if (token) return;
  Gdiplus::GdiplusStartupInput input;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
}

Image CaptureScreen(const RECT& rect) {
  Image image;
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return image;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (dib && bits) {
    HGDIOBJ old = SelectObject(memory, dib);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
    GdiFlush();
    image.width = width;
    image.height = height;
    const uint32_t* source = static_cast<const uint32_t*>(bits);
    image.pixels.assign(source, source + static_cast<size_t>(width) * height);
    for (uint32_t& pixel : image.pixels) pixel |= 0xFF000000u;
    SelectObject(memory, old);
  }
  if (dib) DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return image;
}

Image CaptureClient(HWND window) {
  RECT client;
  if (!GetClientRect(window, &client)) return Image();
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
  return CaptureScreen(client);
}

bool SavePng(const Image& image, const std::wstring& path) {
  StartGdiplus();
  if (image.empty()) return false;
  Gdiplus::Bitmap bitmap(image.width, image.height, image.width * 4, PixelFormat32bppARGB,
                         reinterpret_cast<BYTE*>(const_cast<uint32_t*>(image.pixels.data())));
  static const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};
  return bitmap.Save(path.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
}

Image LoadPng(const std::wstring& path) {
  StartGdiplus();
  Image image;
  Gdiplus::Bitmap bitmap(path.c_str());
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return image;
  const int width = static_cast<int>(bitmap.GetWidth());
  const int height = static_cast<int>(bitmap.GetHeight());
  Gdiplus::Rect all(0, 0, width, height);
  Gdiplus::BitmapData data;
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok) return image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const uint32_t* row = reinterpret_cast<const uint32_t*>(static_cast<const BYTE*>(data.Scan0) + y * data.Stride);
    std::copy(row, row + width, image.pixels.begin() + static_cast<size_t>(y) * width);
  }
  bitmap.UnlockBits(&data);
  return image;
}

Image LoadSkin(int id) { return LoadPng(HostPath(KELO_SKIN_DIR) + L"\\" + std::to_wstring(id) + L".png"); }

Image Frame(const Image& strip, int frame, int frames) {
  const int height = strip.height / frames;
  return Crop(strip, 0, frame * height, strip.width, height);
}

Image Solid(int width, int height, uint32_t rgb) {
  Image image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<size_t>(width) * height, 0xFF000000u | rgb);
  return image;
}

void Blend(Image* base, const Image& top, int x, int y) {
  for (int ty = 0; ty < top.height; ++ty) {
    for (int tx = 0; tx < top.width; ++tx) {
      const int bx = x + tx, by = y + ty;
      if (bx < 0 || by < 0 || bx >= base->width || by >= base->height) continue;
      const uint32_t over = top.At(tx, ty);
      const int alpha = Channel(over, 24);
      uint32_t& under = base->At(bx, by);
      uint32_t mixed = 0xFF000000u;
      for (int shift : {0, 8, 16}) {
        const int value = (Channel(over, shift) * alpha + Channel(under, shift) * (255 - alpha) + 127) / 255;
        mixed |= static_cast<uint32_t>(value) << shift;
      }
      under = mixed;
    }
  }
}

Image Crop(const Image& image, int x, int y, int width, int height) {
  Image part;
  part.width = width;
  part.height = height;
  part.pixels.assign(static_cast<size_t>(width) * height, 0);
  for (int py = 0; py < height; ++py)
    for (int px = 0; px < width; ++px)
      if (x + px >= 0 && y + py >= 0 && x + px < image.width && y + py < image.height)
        part.At(px, py) = image.At(x + px, y + py);
  return part;
}

std::string Difference::Describe() const {
  if (differing < 0) return "the window does not have the expected size";
  char text[200];
  std::snprintf(text, sizeof(text), "%d of %d pixels differ (worst channel difference %d); first at (%ld, %ld): "
                "0x%06X on screen, 0x%06X expected", differing, compared, worst, first.x, first.y,
                first_actual & 0xFFFFFF, first_expected & 0xFFFFFF);
  return text;
}

Difference Compare(const Image& actual, const Image& expected, const RECT& area, int tolerance,
                   const std::vector<RECT>& holes, int corner) {
  Difference result;
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) {
      if (x < 0 || y < 0 || x >= actual.width || y >= actual.height || x >= expected.width || y >= expected.height)
        continue;
      if (InCorner(x, y, actual.width, actual.height, corner)) continue;
      const POINT point = {x, y};
      if (std::any_of(holes.begin(), holes.end(), [&](const RECT& hole) { return PtInRect(&hole, point) != 0; }))
        continue;
      ++result.compared;
      const int distance = ChannelDistance(actual.At(x, y), expected.At(x, y));
      result.worst = std::max(result.worst, distance);
      if (distance > tolerance) {
        if (result.differing++ == 0) {
          result.first = point;
          result.first_actual = actual.At(x, y);
          result.first_expected = expected.At(x, y);
        }
      }
    }
  }
  return result;
}

int CountNear(const Image& image, const RECT& area, uint32_t rgb, int tolerance) {
  int count = 0;
  for (int y = std::max<LONG>(area.top, 0); y < std::min<LONG>(area.bottom, image.height); ++y)
    for (int x = std::max<LONG>(area.left, 0); x < std::min<LONG>(area.right, image.width); ++x)
      if (ChannelDistance(image.At(x, y), rgb) <= tolerance) ++count;
  return count;
}

}  // namespace kelo::test
