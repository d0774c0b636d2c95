#pragma once
// Owners of Win32 handles, one small class each: every handle the program opens is
// released on every path, including early returns.
#include <windows.h>
#include <utility>

namespace kelo {

// A kernel handle. Both null and INVALID_HANDLE_VALUE count as "no handle", since
// CreateFileW reports failure with the one and most other calls with the other.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ScopedHandle(ScopedHandle&& o) noexcept : h_(o.Take()) {}
  ScopedHandle& operator=(ScopedHandle&& o) noexcept { Reset(o.Take()); return *this; }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() { Reset(); }

  bool IsValid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }
  HANDLE Take() { return std::exchange(h_, nullptr); }
  // Closing keeps the caller's last error: it usually explains an earlier failure.
  void Reset(HANDLE h = nullptr) {
    if (IsValid()) {
      DWORD err = GetLastError();
      CloseHandle(h_);
      SetLastError(err);
    }
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

class ScopedFindHandle {
 public:
  explicit ScopedFindHandle(HANDLE h) : h_(h) {}
  ScopedFindHandle(const ScopedFindHandle&) = delete;
  ScopedFindHandle& operator=(const ScopedFindHandle&) = delete;
  ~ScopedFindHandle() { if (IsValid()) FindClose(h_); }
  bool IsValid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return h_; }

 private:
  HANDLE h_;
};

class ScopedModule {
 public:
  explicit ScopedModule(HMODULE m = nullptr) : m_(m) {}
  ScopedModule(const ScopedModule&) = delete;
  ScopedModule& operator=(const ScopedModule&) = delete;
  ~ScopedModule() { if (m_) FreeLibrary(m_); }
  HMODULE Get() const { return m_; }

 private:
  HMODULE m_;
};

// A COM interface pointer, released when the holder goes.
template <typename T>
class ScopedComPtr {
 public:
  ScopedComPtr() = default;
  ScopedComPtr(const ScopedComPtr&) = delete;
  ScopedComPtr& operator=(const ScopedComPtr&) = delete;
  ~ScopedComPtr() { if (p_) p_->Release(); }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  // For creation calls that return the interface through an out parameter.
  void** Receive() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

// A GDI object (bitmap, brush, font, region), deleted with DeleteObject.
template <typename T>
class ScopedGdiObj {
 public:
  explicit ScopedGdiObj(T obj = nullptr) : obj_(obj) {}
  ScopedGdiObj(const ScopedGdiObj&) = delete;
  ScopedGdiObj& operator=(const ScopedGdiObj&) = delete;
  ~ScopedGdiObj() { if (obj_) DeleteObject(obj_); }
  T Get() const { return obj_; }

 private:
  T obj_;
};

// A memory device context made with CreateCompatibleDC.
class ScopedMemDC {
 public:
  explicit ScopedMemDC(HDC compatible_with) : dc_(CreateCompatibleDC(compatible_with)) {}
  ScopedMemDC(const ScopedMemDC&) = delete;
  ScopedMemDC& operator=(const ScopedMemDC&) = delete;
  ~ScopedMemDC() { if (dc_) DeleteDC(dc_); }
  HDC Get() const { return dc_; }

 private:
  HDC dc_;
};

// Selects an object into a device context and puts the previous one back.
class ScopedSelectObject {
 public:
  ScopedSelectObject(HDC dc, HGDIOBJ obj) : dc_(dc), old_(obj ? SelectObject(dc, obj) : nullptr) {}
  ScopedSelectObject(const ScopedSelectObject&) = delete;
  ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;
  ~ScopedSelectObject() { if (old_) SelectObject(dc_, old_); }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A window DC from GetDC/GetWindowDC, released with ReleaseDC.
class ScopedGetDC {
 public:
  ScopedGetDC(HWND wnd, HDC dc) : wnd_(wnd), dc_(dc) {}
  ScopedGetDC(const ScopedGetDC&) = delete;
  ScopedGetDC& operator=(const ScopedGetDC&) = delete;
  ~ScopedGetDC() { if (dc_) ReleaseDC(wnd_, dc_); }
  HDC Get() const { return dc_; }

 private:
  HWND wnd_;
  HDC dc_;
};

}  // namespace kelo
