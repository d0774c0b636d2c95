#pragma once
// Scratch places for the system-registration tests: temporary directories, registry keys
// put back as they were, shortcut files read through the shell, programs started and
// windows waited for with a bound.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/product.h"

namespace kelo::test {

inline std::wstring Widen(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
  return out;
}

// A path of the build machine, as the program under Wine sees it: drive Z: shows the
// machine's folders a run may reach at their own paths.
inline std::wstring HostPath(const char* unix_path) {
  std::wstring path = L"Z:" + Widen(unix_path);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

inline std::wstring TempRoot() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return temp;
}

// A whole file's bytes, or `missing` when it cannot be opened.
inline std::string ReadFileBytes(const std::wstring& path, const char* missing = "") {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return missing;
  std::string bytes(GetFileSize(file, nullptr), '\0');
  DWORD got = 0;
  if (!bytes.empty()) ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  return bytes.substr(0, got);
}

// Writes the file whole, making the folders leading to it.
inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << testing::PrintToString(path) << " error " << GetLastError();
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size()) << testing::PrintToString(path);
}

inline bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(child);
      else
        DeleteFileW(child.c_str());
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// No installation recorded, and none in `dir` (no final separator): the uninstall entry,
// any record of a kept Data and the folder's files are gone. The list of programs goes too
// when nothing else is in it, as an uninstall leaves it: a later test comparing the user's
// registry before and after an uninstall would otherwise see it go.
inline void ForgetInstallation(const std::wstring& dir) {
  RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
  const std::wstring entry = kUninstallKey;
  RegDeleteKeyW(HKEY_CURRENT_USER, entry.substr(0, entry.rfind(L'\\')).c_str());  // refused while it holds another
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataValue);
  RegDeleteKeyValueW(HKEY_CURRENT_USER, kKeptDataKey, kKeptDataLevelsValue);
  RemoveTree(dir);
}

// A fresh directory below the temporary folder, removed with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const wchar_t* stem = L"kelo") {
    static int counter = 0;
    path_ = TempRoot() + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    RemoveTree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Without a final separator.
  const std::wstring& path() const { return path_; }
  // With the final backslash, as the installer holds its directory.
  std::wstring dir() const { return path_ + L"\\"; }
  std::wstring Make(const std::wstring& relative) const {
    const std::wstring full = path_ + L"\\" + relative;
    SHCreateDirectoryExW(nullptr, full.c_str(), nullptr);
    return full;
  }

 private:
  std::wstring path_;
};

inline void CopyFileOrFail(const std::wstring& from, const std::wstring& to) {
  ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE)) << "copy " << testing::PrintToString(from)
                                                          << " error " << GetLastError();
}

// Copies every file below `from` into `to`, which exists.
inline void CopyTree(const std::wstring& from, const std::wstring& to) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((from + L"\\*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << testing::PrintToString(from);
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CreateDirectoryW((to + L"\\" + name).c_str(), nullptr);
      CopyTree(from + L"\\" + name, to + L"\\" + name);
    } else {
      CopyFileOrFail(from + L"\\" + name, to + L"\\" + name);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// A value as the registry holds it: type and raw bytes.
struct RegValue {
  bool present = false;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  std::wstring Text() const {
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  }
};

inline RegValue ReadValue(const wchar_t* key_path, const wchar_t* name) {
  RegValue value;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key_path, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &bytes) == ERROR_SUCCESS) {
    value.data.resize(bytes);
    value.present = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &bytes) == ERROR_SUCCESS;
  }
  RegCloseKey(key);
  return value;
}

// Passes when `name` is a REG_SZ holding exactly `expected` and its terminator.
inline testing::AssertionResult HoldsString(const wchar_t* key_path, const wchar_t* name, const std::wstring& expected) {
  const RegValue value = ReadValue(key_path, name);
  if (!value.present) return testing::AssertionFailure() << testing::PrintToString(std::wstring(name)) << " missing";
  if (value.type != REG_SZ)
    return testing::AssertionFailure() << testing::PrintToString(std::wstring(name)) << " has type " << value.type;
  if (value.data.size() != (expected.size() + 1) * sizeof(wchar_t))
    return testing::AssertionFailure() << testing::PrintToString(std::wstring(name)) << " holds " << value.data.size()
                                       << " bytes, expected " << (expected.size() + 1) * sizeof(wchar_t);
  const std::wstring text = value.Text();
  if (text != expected + L'\0')
    return testing::AssertionFailure() << testing::PrintToString(std::wstring(name)) << " is "
                                       << testing::PrintToString(text) << ", expected "
                                       << testing::PrintToString(expected);
  return testing::AssertionSuccess();
}

inline void WriteString(const wchar_t* key_path, const wchar_t* name, const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

inline void WriteRaw(const wchar_t* key_path, const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key_path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
  RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(key);
}

// Gives the key an access list, by default one that lets everyone set its values and
// nothing else: a step that must open it to read and write fails, and one that wrote before
// it failed would be seen once Restore() has given full access back. The holder removes the
// key when it goes.
class LockedKey {
 public:
  explicit LockedKey(const wchar_t* key_path, const wchar_t* sddl = L"D:(A;;0x2;;;WD)") : path_(key_path) {
    SetDacl(sddl);
  }
  ~LockedKey() {
    Restore();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_);
  }
  bool applied() const { return applied_; }
  void Restore() { SetDacl(L"D:(A;;KA;;;WD)"); }

 private:
  void SetDacl(const wchar_t* sddl) {
    applied_ = false;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr) != 0) return;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
      applied_ = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
      LocalFree(descriptor);
    }
    RegCloseKey(key);
  }

  const wchar_t* path_;
  bool applied_ = false;
};

struct Shortcut {
  bool loaded = false;
  std::wstring target;     // the path it stores
  std::wstring item_path;  // the path of its item list, by which the shell starts it
  std::wstring description;
  std::wstring arguments;
};

// Reads a shortcut file back through the shell-link object. COM must be initialised.
inline Shortcut ReadShortcut(const std::wstring& file) {
  Shortcut result;
  IShellLinkW* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&link))))
    return result;
  IPersistFile* persist = nullptr;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
    if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
      wchar_t text[1024] = {};
      link->GetPath(text, 1024, nullptr, SLGP_RAWPATH);
      result.target = text;
      PIDLIST_ABSOLUTE items = nullptr;
      text[0] = L'\0';
      if (SUCCEEDED(link->GetIDList(&items)) && items) SHGetPathFromIDListW(items, text);
      CoTaskMemFree(items);
      result.item_path = text;
      text[0] = L'\0';
      link->GetDescription(text, 1024);
      result.description = text;
      text[0] = L'\0';
      link->GetArguments(text, 1024);
      result.arguments = text;
      result.loaded = true;
    }
    persist->Release();
  }
  link->Release();
  return result;
}

// A value of an ini file such as the channel file, or "<missing>".
inline std::wstring IniValue(const std::wstring& ini, const wchar_t* section, const wchar_t* key) {
  wchar_t text[256] = {};
  GetPrivateProfileStringW(section, key, L"<missing>", text, 256, ini.c_str());
  return text;
}

// The user's shell folder `csidl`, looked up as the installer does; empty when there is none.
inline std::wstring ShellFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : L"";
}

// Records `dir` as the user's shell folder named `value`, whether it is there or not.
inline void SetShellFolderValue(const wchar_t* value, const std::wstring& dir) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER,
                            L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            0);
  RegSetValueExW(key, value, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                 static_cast<DWORD>((dir.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

// Points the user's shell folder `csidl`, named `value` among the user's shell folders, at
// `dir`.
inline void RedirectShellFolder(const wchar_t* value, int csidl, const std::wstring& dir) {
  SetShellFolderValue(value, dir);
  // The same lookup the installer makes must now answer the folder.
  const std::wstring path = ShellFolder(csidl);
  ASSERT_EQ(lstrcmpiW(path.c_str(), dir.c_str()), 0) << "still at " << testing::PrintToString(path);
}

// Points the user's desktop folder into `dir`: a test's shortcuts stay in its own scratch
// folder.
inline void RedirectDesktop(const std::wstring& dir) { RedirectShellFolder(L"Desktop", CSIDL_DESKTOPDIRECTORY, dir); }

// Polls `done` about every 10 ms (the start-up benchmark times a first paint by it) until
// it holds or `timeout_ms` passed; whether it came to hold.
template <typename Done>
bool PollFor(Done done, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
  return true;
}

// Polls for a top-level window of `window_class` that `accept` takes, told its title and
// handle, up to `timeout_ms`. Null when none came.
template <typename Accept>
HWND WaitForWindow(const wchar_t* window_class, Accept accept, DWORD timeout_ms = 15000) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  do {
    for (HWND wnd = FindWindowExW(nullptr, nullptr, window_class, nullptr); wnd;
         wnd = FindWindowExW(nullptr, wnd, window_class, nullptr)) {
      wchar_t title[512] = {};
      GetWindowTextW(wnd, title, 512);
      if (accept(std::wstring(title), wnd)) return wnd;
    }
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

inline std::vector<DWORD> ProcessesNamed(const wchar_t* exe_name) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (lstrcmpiW(entry.szExeFile, exe_name) == 0) ids.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

// Ends every running program of that name, waiting for each.
inline void EndProcessesNamed(const wchar_t* exe_name) {
  for (DWORD id : ProcessesNamed(exe_name)) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
    if (!process) continue;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
}

// Waits until no program of that name runs (each waited on by its handle).
inline bool WaitForProcessesToEnd(const wchar_t* exe_name, DWORD timeout_ms = 15000) {
  for (DWORD id : ProcessesNamed(exe_name)) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (!process) continue;
    const DWORD waited = WaitForSingleObject(process, timeout_ms);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) return false;
  }
  return true;
}

// Starts a program directly; the handle is the caller's to close.
// CreateProcessW, tried a few times: under Wine on a loaded machine a start fails now and
// then (seen right after another process was ended, and right after the program's file was
// copied). Each failure is said; the last one's error stays.
inline bool CreateProcessPatiently(const std::wstring& path, std::wstring command, DWORD flags,
                                   PROCESS_INFORMATION* info) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, info))
      return true;
    const DWORD error = GetLastError();
    std::printf("starting %ls failed, error %lu%s\n", path.c_str(), error, attempt < 3 ? "; trying again" : "");
    if (attempt == 3) {
      SetLastError(error);
      return false;
    }
    Sleep(200);
  }
}

inline HANDLE StartProgram(const std::wstring& path, const std::wstring& arguments = L"") {
  PROCESS_INFORMATION info = {};
  if (!CreateProcessPatiently(path, L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments), 0, &info))
    return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

// COM for the test's thread, in the apartment the install worker uses. On a thread already
// in another apartment it does nothing: an unmatched uninitialize would end COM under the
// tests that follow.
class ComScope {
 public:
  ComScope() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComScope() {
    if (entered_) CoUninitialize();
  }

 private:
  const bool entered_;
};

}  // namespace kelo::test
