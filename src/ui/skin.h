#pragma once
// Skin images: PNG resources decoded into GDI+ bitmaps, and drawing parts of them.
#include <windows.h>

#include "ui/gdiplus_api.h"

namespace kelo {

// Decodes a found PNG resource into a bitmap that owns its pixels (the resource memory
// can go). 1 on success; 0 when the resource cannot be loaded or no bitmap was made (last
// error ERROR_NOT_ENOUGH_MEMORY), and then *bitmap is null.
int LoadPngResource(HINSTANCE instance, HRSRC resource, GpBitmap** bitmap);

// The skin image of that id from the module's resources; null when it is missing.
GpBitmap* LoadSkinImage(int id);

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
