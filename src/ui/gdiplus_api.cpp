#include "ui/gdiplus_api.h"

#include "base/module.h"

namespace kelo {

namespace {

bool LoadApi(GdiplusApi* api) {
  // Stays loaded for the life of the process: images and graphics live until shutdown.
  HMODULE module = LoadSystemLibrary(L"gdiplus.dll");
  if (!module) return false;
  return ResolveFunction(module, "GdiplusStartup", &api->Startup) &&
         ResolveFunction(module, "GdiplusShutdown", &api->Shutdown) &&
         ResolveFunction(module, "GdipCreateBitmapFromStream", &api->CreateBitmapFromStream) &&
         ResolveFunction(module, "GdipCreateBitmapFromScan0", &api->CreateBitmapFromScan0) &&
         ResolveFunction(module, "GdipGetImageGraphicsContext", &api->GetImageGraphicsContext) &&
         ResolveFunction(module, "GdipGraphicsClear", &api->GraphicsClear) &&
         ResolveFunction(module, "GdipGetImageWidth", &api->GetImageWidth) &&
         ResolveFunction(module, "GdipGetImageHeight", &api->GetImageHeight) &&
         ResolveFunction(module, "GdipBitmapLockBits", &api->BitmapLockBits) &&
         ResolveFunction(module, "GdipBitmapUnlockBits", &api->BitmapUnlockBits) &&
         ResolveFunction(module, "GdipCreateFromHDC", &api->CreateFromHDC) &&
         ResolveFunction(module, "GdipDeleteGraphics", &api->DeleteGraphics) &&
         ResolveFunction(module, "GdipDrawImageRectRectI", &api->DrawImageRectRectI) &&
         ResolveFunction(module, "GdipDisposeImage", &api->DisposeImage);
}

}  // namespace

const GdiplusApi* Gdiplus() {
  static GdiplusApi api;
  static const bool loaded = LoadApi(&api);
  return loaded ? &api : nullptr;
}

GpGraphics* CreateGraphics(HDC dc) {
  const GdiplusApi* gdip = Gdiplus();
  GpGraphics* graphics = nullptr;
  if (!gdip || !dc || gdip->CreateFromHDC(dc, &graphics) != 0) return nullptr;
  return graphics;
}

SIZE ImageSize(GpImage* image) {
  SIZE size = {0, 0};
  const GdiplusApi* gdip = Gdiplus();
  if (!gdip || !image) return size;
  UINT width = 0;
  UINT height = 0;
  if (gdip->GetImageWidth(image, &width) == 0 && gdip->GetImageHeight(image, &height) == 0) {
    size.cx = static_cast<LONG>(width);
    size.cy = static_cast<LONG>(height);
  }
  return size;
}

}  // namespace kelo
