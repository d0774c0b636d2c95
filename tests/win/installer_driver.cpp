#include "installer_driver.h"
#include "sysreg_scratch.h"

#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"
#include "ui/window_layout.h"

namespace kelo::test {

Installer::~Installer() { Finish(); }

bool Installer::Start(const std::wstring& exe, bool debugged, const std::wstring& arguments) {
  std::wstring command = L"\"" + exe + L"\"";
  if (!arguments.empty()) command += L" " + arguments;
  if (!debugged) {
    PROCESS_INFORMATION info = {};
    if (!CreateProcessPatiently(exe, command, 0, &info)) return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    return true;
  }
  // A debugger must wait for events on the thread that started the debuggee.
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  debugger_ = std::thread(&Installer::DebugLoop, this, exe, command, ready);
  WaitForSingleObject(ready, 30000);
  CloseHandle(ready);
  return process_ != nullptr;
}

void Installer::DebugLoop(std::wstring exe, std::wstring command, HANDLE ready) {
  PROCESS_INFORMATION info = {};
  if (!CreateProcessPatiently(exe, command, DEBUG_ONLY_THIS_PROCESS, &info)) {
    SetEvent(ready);
    return;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  SetEvent(ready);
  for (;;) {
    if (detach_) {
      DebugSetProcessKillOnExit(FALSE);
      DebugActiveProcessStop(pid_);
      break;
    }
    DEBUG_EVENT event = {};
    if (!WaitForDebugEvent(&event, 50)) {
      if (WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) break;
      continue;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case CREATE_THREAD_DEBUG_EVENT:
        if (hold_) {
          HANDLE thread = nullptr;
          DuplicateHandle(GetCurrentProcess(), event.u.CreateThread.hThread, GetCurrentProcess(), &thread, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
          if (thread && SuspendThread(thread) != static_cast<DWORD>(-1)) {
            std::lock_guard<std::mutex> lock(held_mutex_);
            held_.push_back(thread);
          } else if (thread) {
            CloseHandle(thread);
          }
        }
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's first breakpoint is ours to swallow; anything else is the program's.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
  }
}

size_t Installer::HeldThreads() {
  std::lock_guard<std::mutex> lock(held_mutex_);
  return held_.size();
}

void Installer::ReleaseHeldThreads() {
  hold_ = false;
  std::lock_guard<std::mutex> lock(held_mutex_);
  for (HANDLE thread : held_) {
    ResumeThread(thread);
    CloseHandle(thread);
  }
  held_.clear();
}

void Installer::StopDebugging() {
  ReleaseHeldThreads();
  detach_ = true;
  if (debugger_.joinable()) debugger_.join();
}

HWND Installer::WaitForWindow(DWORD timeout_ms) {
  PollFor(
      [&] {
        HWND found = nullptr;
        while ((found = FindWindowExW(nullptr, found, nullptr, kWindowTitle)) != nullptr) {
          DWORD owner = 0;
          GetWindowThreadProcessId(found, &owner);
          if (owner == pid_ && IsWindowVisible(found)) {
            window_ = found;
            return true;
          }
        }
        return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
      },
      timeout_ms);
  return window_;
}

HWND Installer::WaitForSessionWindow(DWORD timeout_ms) const {
  HWND found = nullptr;
  PollFor(
      [&] {
        found = FindWindowW(kSessionWindowClass, nullptr);
        DWORD owner = 0;
        if (found) GetWindowThreadProcessId(found, &owner);
        return owner == pid_;
      },
      timeout_ms);
  DWORD owner = 0;
  if (found) GetWindowThreadProcessId(found, &owner);
  return owner == pid_ ? found : nullptr;
}

bool Installer::WaitForExit(DWORD timeout_ms, DWORD* exit_code) {
  if (!process_ || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  if (exit_code) GetExitCodeProcess(process_, exit_code);
  return true;
}

void Installer::Finish() {
  ReleaseHeldThreads();
  if (process_) {
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
      if (window_ && IsWindow(window_)) PostMessageW(window_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0) TerminateProcess(process_, 99);
      WaitForSingleObject(process_, 10000);
    }
  }
  if (debugger_.joinable()) debugger_.join();
  if (process_) CloseHandle(process_);
  process_ = nullptr;
  window_ = nullptr;
}

HWND Installer::Control(int id) const { return GetDlgItem(window_, id); }

RECT Installer::ClientRect(HWND control) const {
  RECT rect = {};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

int Installer::ClientHeight() const {
  RECT client = {};
  GetClientRect(window_, &client);
  return client.bottom;
}

testing::AssertionResult Installer::IsShapedFor(int height) const {
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  const bool shaped = GetWindowRgn(window_, region) != ERROR;
  const bool corner = PtInRegion(region, 0, 0), bottom = PtInRegion(region, kWindowWidth / 2, height - 1),
             below = PtInRegion(region, kWindowWidth / 2, height + 2);
  DeleteObject(region);
  if (!shaped) return testing::AssertionFailure() << "the window has no shape of its own";
  if (corner || !bottom || below)
    return testing::AssertionFailure() << "shape for " << height << " pixels: corner " << corner << ", bottom row "
                                       << bottom << ", below " << below;
  return testing::AssertionSuccess();
}

HWND Installer::FindLabelAt(POINT client) const {
  for (HWND child = GetWindow(window_, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t name[16] = {};
    GetClassNameW(child, name, 16);
    const RECT rect = ClientRect(child);
    if (lstrcmpiW(name, L"Static") == 0 && GetDlgCtrlID(child) == 0 && rect.left == client.x && rect.top == client.y)
      return child;
  }
  return nullptr;
}

HWND Installer::StatusLabel() const {
  return FindLabelAt(POINT{kStatusLabelRect.left, kStatusLabelRect.top});
}

HWND Installer::WarningLabel() const {
  return FindLabelAt(POINT{kWarningLabelRect.left, kWarningLabelRect.top});
}

bool Installer::IsChecked(int id) const { return SendMessageW(Control(id), BM_GETCHECK, 0, 0) != 0; }

std::wstring Installer::Text(HWND control) const {
  wchar_t text[512] = {};
  SendMessageW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return text;
}

void Installer::SetDirectory(const std::wstring& text) {
  SendMessageW(Control(kIdDirField), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Installer::Click(int id) {
  HWND control = Control(id);
  RECT client = {};
  GetClientRect(control, &client);
  const LPARAM at = MAKELPARAM(client.right / 2, client.bottom / 2);
  PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(control, WM_LBUTTONUP, 0, at);
}

void Installer::ClickAt(POINT client) {
  const LPARAM at = MAKELPARAM(client.x, client.y);
  PostMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(window_, WM_LBUTTONUP, 0, at);
}

bool Installer::Barrier() {
  // Posted messages of one thread are handled in order; a limit change posted last and
  // seen by a sent query proves that everything posted before it was handled.
  HWND field = Control(kIdDirField);
  const WPARAM marker = 1000 + (++barrier_count_ % 1000);
  PostMessageW(field, EM_SETLIMITTEXT, marker, 0);
  const bool seen = PollFor([&] { return SendMessageW(field, EM_GETLIMITTEXT, 0, 0) == static_cast<LRESULT>(marker); },
                              5000);
  PostMessageW(field, EM_SETLIMITTEXT, 260, 0);
  return seen;
}

std::wstring SetupExe() { return HostPath(KELO_SETUP_EXE); }

std::wstring ScreenshotDir() {
  const std::wstring dir = HostPath(KELO_SCREENSHOT_DIR);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

IAccessible* AccessibleOf(HWND control) {
  using FromWindow = HRESULT(WINAPI*)(HWND, DWORD, REFIID, void**);
  static const auto from_window = reinterpret_cast<FromWindow>(
      reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"oleacc.dll"), "AccessibleObjectFromWindow")));
  IAccessible* accessible = nullptr;
  if (!from_window || from_window(control, OBJID_CLIENT, IID_IAccessible, reinterpret_cast<void**>(&accessible)) != S_OK)
    return nullptr;
  return accessible;
}

VARIANT AccessibleSelf() {
  VARIANT self;
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  return self;
}

std::wstring AccessibleDescription(IAccessible* accessible) {
  BSTR text = nullptr;
  if (accessible->get_accDescription(AccessibleSelf(), &text) != S_OK) return std::wstring();
  const std::wstring description = text ? text : L"";
  SysFreeString(text);
  return description;
}

AccessibleReading ReadAccessible(IAccessible* accessible) {
  AccessibleReading reading;
  const VARIANT self = AccessibleSelf();
  VARIANT role;
  VariantInit(&role);
  if (accessible->get_accRole(self, &role) == S_OK && role.vt == VT_I4) reading.role = role.lVal;
  for (const auto& [get, text] : {std::pair{&IAccessible::get_accName, &reading.name},
                                  std::pair{&IAccessible::get_accValue, &reading.value}}) {
    BSTR got = nullptr;
    if ((accessible->*get)(self, &got) == S_OK && got) *text = got;
    SysFreeString(got);
  }
  return reading;
}

void PrintTo(const AccessibleReading& reading, std::ostream* out) {
  *out << "role " << reading.role << ", name " << testing::PrintToString(reading.name) << ", value "
       << testing::PrintToString(reading.value);
}

bool ReadAccessibleWithin(IAccessible* accessible, DWORD timeout_ms, const std::function<void()>& release,
                          AccessibleReading* reading) {
  // Read on this thread, whose apartment the object was got in; a watchdog releases.
  ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  bool released = false;
  std::thread watchdog([&] {
    if (WaitForSingleObject(done.Get(), timeout_ms) == WAIT_OBJECT_0) return;
    released = true;
    release();
  });
  *reading = ReadAccessible(accessible);
  SetEvent(done.Get());
  watchdog.join();
  return !released;
}

namespace {

struct HeardEvent {
  DWORD event;
  HWND window;
  LONG object;
};
std::vector<HeardEvent> heard_events;  // of the one recorder, on its thread

void CALLBACK RecordWinEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG, DWORD, DWORD) {
  heard_events.push_back({event, window, object});
}

}  // namespace

WinEventRecorder::WinEventRecorder(DWORD pid, DWORD first_event, DWORD last_event) {
  heard_events.clear();
  hook_ = SetWinEventHook(first_event, last_event, nullptr, &RecordWinEvent, pid, 0, WINEVENT_OUTOFCONTEXT);
}

WinEventRecorder::~WinEventRecorder() {
  if (hook_) UnhookWinEvent(hook_);
  heard_events.clear();
}

bool WinEventRecorder::Heard(DWORD event, HWND window) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  return std::any_of(heard_events.begin(), heard_events.end(), [&](const HeardEvent& heard) {
    return heard.event == event && heard.window == window && heard.object == OBJID_CLIENT;
  });
}

std::wstring ScratchDir(const wchar_t* name) {
  const std::wstring dir = TempRoot() + name;
  RemoveTree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\";
}

}  // namespace kelo::test

namespace kelo::test {

void RegisterUrlRecorder(const std::wstring& folder_path) {
  // A backslash before the closing quote would escape it on the recorder's command line.
  std::wstring folder = folder_path;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  RegisterUrlHandler(L"\"" + HostPath(KELO_URL_RECORDER_EXE) + L"\" \"" + folder + L"\" \"%1\"");
}

void RegisterUrlHandler(const std::wstring& command) {
  for (const wchar_t* scheme : {L"Software\\Classes\\https\\shell\\open\\command",
                                L"Software\\Classes\\http\\shell\\open\\command"}) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, scheme, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) == 0) {
      RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
      RegCloseKey(key);
    }
  }
}

namespace {

// The recorders' files in `folder` ("<ticks>-<process id>.url"), oldest first.
std::vector<std::wstring> RecordNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*.url").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.push_back(data.cFileName); while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// A record's text: the address, a line break, how the opener asked the browser to show.
std::wstring RecordText(const std::wstring& folder, const std::wstring& name) {
  HANDLE file = CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  wchar_t text[1024] = {};
  DWORD read = 0;
  ReadFile(file, text, sizeof(text) - sizeof(wchar_t), &read, nullptr);
  CloseHandle(file);
  return text;
}

}  // namespace

std::vector<std::wstring> RecordedUrls(const std::wstring& folder) {
  std::vector<std::wstring> urls;
  for (const std::wstring& name : RecordNames(folder)) {
    const std::wstring text = RecordText(folder, name);
    urls.push_back(text.substr(0, text.find(L'\n')));
  }
  return urls;
}

std::vector<int> RecordedShowCommands(const std::wstring& folder) {
  std::vector<int> shows;
  for (const std::wstring& name : RecordNames(folder)) {
    const std::wstring text = RecordText(folder, name);
    const size_t newline = text.find(L'\n');
    shows.push_back(newline != std::wstring::npos ? _wtoi(text.c_str() + newline + 1) : -1);
  }
  return shows;
}

std::wstring CopyInstaller(const wchar_t* file_name) {
  // Beside the copies made before, which may still run.
  const std::wstring folder = TempRoot() + L"installers\\";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring copy = folder + file_name;
  CopyFileW(SetupExe().c_str(), copy.c_str(), FALSE);
  return copy;
}

long long FailureMemory() {
  RegKey key;
  DWORD value = 0;
  if (key.Open(kFailureMemoryKey) != ERROR_SUCCESS || key.ReadDword(kFailureMemoryValue, &value) != ERROR_SUCCESS)
    return -1;
  return value;
}

void SetFailureMemory(long long value) {
  RegKey key;
  if (key.Create(kFailureMemoryKey) != ERROR_SUCCESS) return;
  if (value < 0) {
    (void)key.DeleteValue(kFailureMemoryValue);
  } else {
    (void)key.WriteDword(kFailureMemoryValue, static_cast<DWORD>(value));
  }
}

HWND WaitForTitle(const wchar_t* title, DWORD timeout_ms) {
  HWND window = nullptr;
  PollFor([&] { return (window = FindWindowW(nullptr, title)) != nullptr; }, timeout_ms);
  return window;
}

}  // namespace kelo::test
