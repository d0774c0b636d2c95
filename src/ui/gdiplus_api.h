#pragma once
// GDI+ reached at run time. gdiplus.dll is not a KnownDLL, and the installer runs from
// download folders where a planted copy could sit, so it is never imported at load time:
// the flat functions are looked up once in the System32 copy and called through this table.
#include <windows.h>
#include <objidl.h>

namespace kelo {

// Opaque GDI+ objects; a bitmap is an image.
struct GpImage {
  GpImage() = delete;
};
struct GpBitmap : GpImage {};
struct GpGraphics {
  GpGraphics() = delete;
};

using GpStatus = int;  // 0 is Ok
using GpArgb = DWORD;

inline constexpr int kGpUnitPixel = 2;
inline constexpr int kGpPixelFormat32bppPARGB = 0xE200B;
inline constexpr int kGpPixelFormat32bppRGB = 0x22009;
inline constexpr int kGpPixelFormat32bppARGB = 0x26200A;
inline constexpr UINT kGpImageLockModeRead = 1;

struct GpRect {
  INT x, y, width, height;
};
struct GpBitmapData {
  UINT width;
  UINT height;
  INT stride;
  INT format;
  void* scan0;
  UINT_PTR reserved;
};

struct GdiplusStartupInput {
  UINT32 version;
  void* debug_callback;
  BOOL suppress_background_thread;
  BOOL suppress_external_codecs;
};

struct GdiplusApi {
  GpStatus(WINAPI* Startup)(ULONG_PTR* token, const GdiplusStartupInput* input, void* output);
  void(WINAPI* Shutdown)(ULONG_PTR token);
  GpStatus(WINAPI* CreateBitmapFromStream)(IStream* stream, GpBitmap** bitmap);
  GpStatus(WINAPI* CreateBitmapFromScan0)(INT width, INT height, INT stride, INT format, BYTE* scan0,
                                          GpBitmap** bitmap);
  GpStatus(WINAPI* GetImageGraphicsContext)(GpImage* image, GpGraphics** graphics);
  GpStatus(WINAPI* GraphicsClear)(GpGraphics* graphics, GpArgb colour);
  GpStatus(WINAPI* GetImageWidth)(GpImage* image, UINT* width);
  GpStatus(WINAPI* GetImageHeight)(GpImage* image, UINT* height);
  GpStatus(WINAPI* BitmapLockBits)(GpBitmap* bitmap, const GpRect* rect, UINT mode, INT format, GpBitmapData* data);
  GpStatus(WINAPI* BitmapUnlockBits)(GpBitmap* bitmap, GpBitmapData* data);
  GpStatus(WINAPI* CreateFromHDC)(HDC dc, GpGraphics** graphics);
  GpStatus(WINAPI* DeleteGraphics)(GpGraphics* graphics);
  GpStatus(WINAPI* DrawImageRectRectI)(GpGraphics* graphics, GpImage* image, INT dst_x, INT dst_y, INT dst_width,
                                       INT dst_height, INT src_x, INT src_y, INT src_width, INT src_height,
                                       int src_unit, const void* attributes, void* abort_callback,
                                       void* callback_data);
  GpStatus(WINAPI* DisposeImage)(GpImage* image);
};

// The table, filled on first use; null when gdiplus.dll or one of its functions is
// missing, and then every image stays null and every painter draws nothing.
const GdiplusApi* Gdiplus();

// A graphics object, deleted when the holder goes.
class ScopedGraphics {
 public:
  explicit ScopedGraphics(GpGraphics* graphics = nullptr) : graphics_(graphics) {}
  ScopedGraphics(const ScopedGraphics&) = delete;
  ScopedGraphics& operator=(const ScopedGraphics&) = delete;
  ~ScopedGraphics() {
    if (graphics_) Gdiplus()->DeleteGraphics(graphics_);
  }
  GpGraphics* Get() const { return graphics_; }
  GpGraphics** Receive() { return &graphics_; }

 private:
  GpGraphics* graphics_;
};

// A graphics object drawing onto a device context; null without GDI+ or device context.
GpGraphics* CreateGraphics(HDC dc);

// An image's size as GDI+ reports it; 0 x 0 for a null image.
SIZE ImageSize(GpImage* image);

}  // namespace kelo
