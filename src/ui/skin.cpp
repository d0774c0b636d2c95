#include "ui/skin.h"

#include <algorithm>
#include <cstring>

#include "base/module.h"
#include "base/win_holders.h"
#include "ui/window_layout.h"

namespace kelo {

namespace {

GpArgb Opaque(COLORREF colour) {
  return 0xFF000000u | (static_cast<GpArgb>(GetRValue(colour)) << 16) |
         (static_cast<GpArgb>(GetGValue(colour)) << 8) | GetBValue(colour);
}

// Whether every pixel of `bitmap` is opaque; false when its pixels cannot be read.
bool IsOpaque(const GdiplusApi* gdip, GpBitmap* bitmap, SIZE size) {
  const GpRect whole = {0, 0, size.cx, size.cy};
  GpBitmapData data = {};
  if (gdip->BitmapLockBits(bitmap, &whole, kGpImageLockModeRead, kGpPixelFormat32bppARGB, &data) != 0) return false;
  bool opaque = true;
  for (UINT y = 0; opaque && y < data.height; ++y) {
    const BYTE* row = static_cast<const BYTE*>(data.scan0) + y * static_cast<LONG_PTR>(data.stride);
    const DWORD* pixels = reinterpret_cast<const DWORD*>(row);
    opaque = std::all_of(pixels, pixels + data.width, [](DWORD argb) { return (argb >> 24) == 0xFF; });
  }
  gdip->BitmapUnlockBits(bitmap, &data);
  return opaque;
}

// A copy drawn from `source` that owns its pixels, in the format GDI+ draws fastest: an
// opaque copy is drawn by copying its pixels, while a premultiplied one is blended, which
// takes milliseconds for a full-window picture even where only a button's part of it is
// drawn.
GpBitmap* CopyImage(const GdiplusApi* gdip, GpImage* source, int width, int height, const GpArgb* fill,
                    bool opaque) {
  GpBitmap* copy = nullptr;
  const int format = opaque ? kGpPixelFormat32bppRGB : kGpPixelFormat32bppPARGB;
  if (width <= 0 || height <= 0 || gdip->CreateBitmapFromScan0(width, height, 0, format, nullptr, &copy) != 0)
    return nullptr;
  ScopedGraphics graphics;
  if (gdip->GetImageGraphicsContext(copy, graphics.Receive()) != 0) {
    gdip->DisposeImage(copy);
    return nullptr;
  }
  if (fill) gdip->GraphicsClear(graphics.Get(), *fill);
  const SIZE size = ImageSize(source);
  DrawSkinImage(graphics.Get(), source, XYWH(0, 0, size.cx, size.cy), XYWH(0, 0, size.cx, size.cy));
  return copy;
}

}  // namespace

int LoadPngResource(HINSTANCE instance, HRSRC resource, GpBitmap** bitmap) {
  *bitmap = nullptr;
  const DWORD size = SizeofResource(instance, resource);
  HGLOBAL loaded = LoadResource(instance, resource);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return 0;
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, size);
  if (!block) return 0;
  CopyMemory(GlobalLock(block), bytes, size);
  GlobalUnlock(block);
  const GdiplusApi* gdip = Gdiplus();
  {
    ScopedComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block, FALSE, reinterpret_cast<IStream**>(stream.Receive())))) {
      GlobalFree(block);
      return 0;
    }
    GpBitmap* decoded = nullptr;
    if (gdip && gdip->CreateBitmapFromStream(stream.Get(), &decoded) == 0 && decoded) {
      // GDI+ may read the stream lazily; the copy holds decoded pixels, so the block can go.
      const SIZE image = ImageSize(decoded);
      *bitmap = CopyImage(gdip, decoded, image.cx, image.cy, nullptr, IsOpaque(gdip, decoded, image));
      gdip->DisposeImage(decoded);
    }
  }
  GlobalFree(block);
  if (!*bitmap) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return 1;
}

GpBitmap* SkinBitmap::Get() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (tried_) return bitmap_;
  tried_ = true;
  if (HRSRC resource = Resource()) LoadPngResource(ModuleInstance(), resource, &bitmap_);
  return bitmap_;
}

SIZE SkinBitmap::Size() const {
  // The signature, then the IHDR chunk: length, type, width and height, big-endian.
  constexpr BYTE kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  constexpr DWORD kHeaderEnd = 24;
  HINSTANCE instance = ModuleInstance();
  HRSRC resource = Resource();
  HGLOBAL loaded = resource ? LoadResource(instance, resource) : nullptr;
  const BYTE* png = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  if (!png || SizeofResource(instance, resource) < kHeaderEnd || memcmp(png, kSignature, sizeof kSignature) != 0 ||
      memcmp(png + 12, "IHDR", 4) != 0)
    return SIZE{0, 0};
  const auto be32 = [](const BYTE* p) { return static_cast<LONG>((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]); };
  return SIZE{be32(png + 16), be32(png + 20)};
}

HRSRC SkinBitmap::Resource() const {
  return FindResourceW(ModuleInstance(), MAKEINTRESOURCEW(id_), kSkinResourceType);
}

void SkinBitmap::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  DisposeImage(&bitmap_);
  tried_ = false;
}

void DrawSkinImage(GpGraphics* graphics, GpImage* image, const RECT& dst, const RECT& src) {
  const GdiplusApi* gdip = Gdiplus();
  if (!gdip || !graphics || !image) return;
  const SIZE size = ImageSize(image);
  const LONG src_width = src.right - src.left;
  const LONG src_height = src.bottom - src.top;
  if (src_width <= 0 || src_height <= 0) return;
  RECT inside;
  const RECT bounds = {0, 0, size.cx, size.cy};
  if (!IntersectRect(&inside, &src, &bounds)) return;
  // The destination shrinks in proportion to the part of the source that is kept.
  const LONG dst_width = dst.right - dst.left;
  const LONG dst_height = dst.bottom - dst.top;
  const LONG left = dst.left + MulDiv(inside.left - src.left, dst_width, src_width);
  const LONG top = dst.top + MulDiv(inside.top - src.top, dst_height, src_height);
  const LONG right = dst.left + MulDiv(inside.right - src.left, dst_width, src_width);
  const LONG bottom = dst.top + MulDiv(inside.bottom - src.top, dst_height, src_height);
  gdip->DrawImageRectRectI(graphics, image, left, top, right - left, bottom - top, inside.left, inside.top,
                           inside.right - inside.left, inside.bottom - inside.top, kGpUnitPixel, nullptr, nullptr,
                           nullptr);
}

GpBitmap* ExtendImage(GpImage* image, int width, int height, COLORREF fill) {
  const GdiplusApi* gdip = Gdiplus();
  if (!gdip || !image) return nullptr;
  const GpArgb colour = Opaque(fill);
  // The fill is opaque: so is the copy.
  return CopyImage(gdip, image, width, height, &colour, /*opaque=*/true);
}

void DisposeImage(GpBitmap** image) {
  if (*image && Gdiplus()) Gdiplus()->DisposeImage(*image);
  *image = nullptr;
}

}  // namespace kelo
