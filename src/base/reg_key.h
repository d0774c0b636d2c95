#pragma once
// Owner of one open registry key under the current user's hive. Every read and write
// returns the registry's own result code; the caller decides what a failure means.
#include <windows.h>
#include <string>

namespace kelo {

class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() { Close(); }

  // Both first close the key held before.
  [[nodiscard]] LONG Create(const wchar_t* subkey, REGSAM access = KEY_READ | KEY_WRITE);
  [[nodiscard]] LONG Open(const wchar_t* subkey, REGSAM access = KEY_READ);
  void Attach(HKEY key);
  void Close();

  HKEY Get() const { return key_; }
  bool IsOpen() const { return key_ != nullptr; }

  // A string value of at most max_chars characters including its terminator: REG_SZ or
  // REG_EXPAND_SZ (not expanded), an even byte count ending in a terminator. Anything
  // else is ERROR_INVALID_DATA; a longer value is ERROR_MORE_DATA.
  [[nodiscard]] LONG ReadString(const wchar_t* name, std::wstring* value, DWORD max_chars = MAX_PATH) const;
  // The value's raw bytes, whatever its type: at most *bytes of them; *bytes becomes the
  // count read (or needed, with ERROR_MORE_DATA). `type` may be null.
  [[nodiscard]] LONG ReadBytes(const wchar_t* name, void* data, DWORD* bytes, DWORD* type = nullptr) const;
  // REG_DWORD only, else ERROR_INVALID_DATA.
  [[nodiscard]] LONG ReadDword(const wchar_t* name, DWORD* value) const;

  // REG_SZ with the terminator counted in the size.
  [[nodiscard]] LONG WriteString(const wchar_t* name, const std::wstring& value) const;
  [[nodiscard]] LONG WriteDword(const wchar_t* name, DWORD value) const;
  [[nodiscard]] LONG DeleteValue(const wchar_t* name) const;

 private:
  HKEY key_ = nullptr;
};

// Deletes the current user's key `subkey` when it holds neither values nor keys (deleting
// would take its values along); nothing when it cannot be looked into.
void DeleteKeyIfEmpty(const wchar_t* subkey);

}  // namespace kelo
