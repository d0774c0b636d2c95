#include "ui/gdiplus_api.h"

#include "base/module.h"

namespace kelo {

namespace {

template <typename F>
bool Resolve(HMODULE module, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *function != nullptr;
}

bool LoadApi(GdiplusApi* api) {
  // Stays loaded for the life of the process: images and graphics live until shutdown.
  HMODULE module = LoadSystemLibrary(L"gdiplus.dll");
  if (!module) return false;
  return Resolve(module, "GdiplusStartup", &api->Startup) && Resolve(module, "GdiplusShutdown", &api->Shutdown) &&
         Resolve(module, "GdipCreateBitmapFromStream", &api->CreateBitmapFromStream) &&
         Resolve(module, "GdipCreateBitmapFromScan0", &api->CreateBitmapFromScan0) &&
         Resolve(module, "GdipGetImageGraphicsContext", &api->GetImageGraphicsContext) &&
         Resolve(module, "GdipGraphicsClear", &api->GraphicsClear) &&
         Resolve(module, "GdipGetImageWidth", &api->GetImageWidth) &&
         Resolve(module, "GdipGetImageHeight", &api->GetImageHeight) &&
         Resolve(module, "GdipBitmapLockBits", &api->BitmapLockBits) &&
         Resolve(module, "GdipBitmapUnlockBits", &api->BitmapUnlockBits) &&
         Resolve(module, "GdipCreateFromHDC", &api->CreateFromHDC) &&
         Resolve(module, "GdipDeleteGraphics", &api->DeleteGraphics) &&
         Resolve(module, "GdipDrawImageRectRectI", &api->DrawImageRectRectI) &&
         Resolve(module, "GdipDisposeImage", &api->DisposeImage);
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
