#pragma once
// Skin images: PNG resources decoded into GDI+ bitmaps, and drawing parts of them.
#include <windows.h>

#include <mutex>

#include "ui/gdiplus_api.h"

namespace kelo {

// Decodes a found PNG resource into a bitmap that owns its pixels (the resource memory
// can go). 1 on success; 0 when the resource cannot be loaded or no bitmap was made (last
// error ERROR_NOT_ENOUGH_MEMORY), and then *bitmap is null.
int LoadPngResource(HINSTANCE instance, HRSRC resource, GpBitmap** bitmap);

// One skin image of the module's resources, decoded the first time it is drawn: the window
// shows its first view without waiting for the pictures of the others. Its size is read
// from the PNG header, without decoding. Any thread may ask for it; one decodes.
class SkinBitmap {
 public:
  SkinBitmap() = default;
  ~SkinBitmap() { Reset(); }
  SkinBitmap(const SkinBitmap&) = delete;
  SkinBitmap& operator=(const SkinBitmap&) = delete;

  void SetId(int id) { id_ = id; }
  // Null when the resource is missing or does not decode; tried once.
  GpBitmap* Get();
  // {0, 0} when the resource is missing or no PNG.
  SIZE Size() const;
  void Reset();

 private:
  HRSRC Resource() const;

  int id_ = 0;
  std::mutex mutex_;
  bool tried_ = false;
  GpBitmap* bitmap_ = nullptr;
};

// Draws the source rectangle (x, y, width, height) of `image` into the destination
// rectangle. A null image draws nothing; where the source reaches past the image, only
// the part inside the image is drawn, into the matching part of the destination.
void DrawSkinImage(GpGraphics* graphics, GpImage* image, const RECT& dst, const RECT& src);

// Rectangles as (x, y, width, height), as the painters think of them.
inline RECT XYWH(int x, int y, int width, int height) { return RECT{x, y, x + width, y + height}; }

// A copy of `image` on a canvas of width x height filled with `fill` where the image
// does not reach. Null without GDI+ or image.
GpBitmap* ExtendImage(GpImage* image, int width, int height, COLORREF fill);

void DisposeImage(GpBitmap** image);

}  // namespace kelo
