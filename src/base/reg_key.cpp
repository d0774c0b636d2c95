#include "base/reg_key.h"

#include <vector>

namespace kelo {

LONG RegKey::Create(const wchar_t* subkey, REGSAM access) {
  Close();
  DWORD disposition = 0;
  return RegCreateKeyExW(HKEY_CURRENT_USER, subkey, 0, nullptr, 0, access, nullptr, &key_,
                         &disposition);
}

LONG RegKey::Open(const wchar_t* subkey, REGSAM access) {
  Close();
  return RegOpenKeyExW(HKEY_CURRENT_USER, subkey, 0, access, &key_);
}

void RegKey::Attach(HKEY key) {
  Close();
  key_ = key;
}

void RegKey::Close() {
  if (key_) {
    RegCloseKey(key_);
    key_ = nullptr;
  }
}

LONG RegKey::ReadString(const wchar_t* name, std::wstring* value, DWORD max_chars) const {
  std::vector<wchar_t> buffer(max_chars, L'\0');
  DWORD type = 0;
  DWORD bytes = max_chars * sizeof(wchar_t);
  LONG result = ReadBytes(name, buffer.data(), &bytes, &type);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  if (bytes % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
  const DWORD chars = bytes / sizeof(wchar_t);
  if (chars == 0 || buffer[chars - 1] != L'\0') return ERROR_INVALID_DATA;
  value->assign(buffer.data());
  return ERROR_SUCCESS;
}

LONG RegKey::ReadBytes(const wchar_t* name, void* data, DWORD* bytes, DWORD* type) const {
  return RegQueryValueExW(key_, name, nullptr, type, static_cast<BYTE*>(data), bytes);
}

LONG RegKey::ReadDword(const wchar_t* name, DWORD* value) const {
  DWORD type = 0;
  DWORD data = 0;
  DWORD bytes = sizeof(data);
  LONG result = ReadBytes(name, &data, &bytes, &type);
  if (result == ERROR_MORE_DATA) return ERROR_INVALID_DATA;  // longer than a number: a QWORD, a text
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_DWORD || bytes != sizeof(data)) return ERROR_INVALID_DATA;
  *value = data;
  return ERROR_SUCCESS;
}

LONG RegKey::WriteString(const wchar_t* name, const std::wstring& value) const {
  return RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LONG RegKey::WriteDword(const wchar_t* name, DWORD value) const {
  return RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

LONG RegKey::DeleteValue(const wchar_t* name) const { return RegDeleteValueW(key_, name); }

void DeleteKeyIfEmpty(const wchar_t* subkey) {
  RegKey key;
  DWORD subkeys = 1, values = 1;
  if (key.Open(subkey) != ERROR_SUCCESS ||
      RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS ||
      subkeys != 0 || values != 0)
    return;
  key.Close();
  RegDeleteKeyW(HKEY_CURRENT_USER, subkey);
}

}  // namespace kelo
