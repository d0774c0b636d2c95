#include "sysreg/identity.h"

#include <objbase.h>

#include <cwchar>

#include "base/product.h"
#include "base/reg_key.h"

namespace kelo {

namespace {

constexpr DWORD kIdentityReadChars = 128;

// True when the key holds an identity. Only the value's first character counts, whatever
// its type, so any stored identity is kept even when it is not a GUID. One too long for
// the buffer is kept as well: it exists, and replacing it would make the user new again.
bool HasIdentity(const RegKey& key) {
  wchar_t buffer[kIdentityReadChars] = {};
  DWORD bytes = sizeof(buffer);
  if (key.ReadBytes(kIdentityValue, buffer, &bytes) == ERROR_MORE_DATA) return true;
  return buffer[0] != L'\0';
}

}  // namespace

std::wstring ParseChannelId(const std::wstring& file_name) {
  const size_t underscore = file_name.find(L'_');
  if (underscore == std::wstring::npos) return L"1";
  const size_t dot = file_name.find(L'.');
  const size_t start = underscore + 1;
  if (dot == std::wstring::npos || dot < start) return L"";
  return file_name.substr(start, dot - start);
}

std::wstring FormatIdentity(const GUID& g) {
  wchar_t text[64];
  swprintf(text, 64, L"{%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X} ", static_cast<unsigned>(g.Data1),
           g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
           g.Data4[7]);
  return text;
}

bool RecordIdentity(const std::wstring& install_dir, const std::wstring& installer_name, GuidSource make_guid,
                    int32_t* new_user, std::wstring* unwritten) {
  RegKey key;
  const LONG created = key.Create(kIdentityKey, KEY_READ | KEY_WRITE);
  if (created != ERROR_SUCCESS) {
    SetLastError(created);
    return false;
  }
  // The statistics are a courtesy to the browser: failed writes do not fail the install,
  // but the log says which, for a channel that went unrecorded is otherwise never noticed.
  std::wstring failed;
  const auto note = [&failed](const wchar_t* what, DWORD error) {
    if (error == ERROR_SUCCESS) return;
    failed += (failed.empty() ? L"" : L", ") + std::wstring(what) + L": error " + std::to_wstring(error);
  };
  if (HasIdentity(key)) {
    // A retry in the same run finds the identity its first attempt made: still a new user.
    if (*new_user != 1) *new_user = 0;
  } else {
    *new_user = 1;
    // Without a GUID an empty identity is stored: the next installation then sees no
    // identity and tries again.
    GUID guid = {};
    const std::wstring identity = SUCCEEDED(make_guid(&guid)) ? FormatIdentity(guid) : std::wstring();
    note(kIdentityValue, static_cast<DWORD>(key.WriteString(kIdentityValue, identity)));
  }

  const std::wstring ini = install_dir + kStatIni;
  const auto write_ini = [&](const wchar_t* name, const std::wstring& value) {
    // A failure that sets no error of its own is still one.
    SetLastError(ERROR_WRITE_FAULT);
    note(name, WritePrivateProfileStringW(kStatSection, name, value.c_str(), ini.c_str()) ? ERROR_SUCCESS
                                                                                          : GetLastError());
  };
  write_ini(kChannelIdKey, ParseChannelId(installer_name));
  write_ini(kIsNewUserKey, std::to_wstring(*new_user));
  if (unwritten) *unwritten = failed;
  return true;
}

}  // namespace kelo
