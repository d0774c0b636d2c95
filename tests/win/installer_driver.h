#pragma once
// Drives the built installer as a user would: starts it, finds its window and controls,
// clicks them with posted mouse messages, types into the directory field, and looks at the
// screen. Every wait is bounded.
#include <windows.h>
#include <oleacc.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "screen_image.h"

namespace kelo::test {

class Installer {
 public:
  Installer() = default;
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  // Starts the program. A debugged run can hold every thread the installer starts from
  // then on (HoldNewThreads), which keeps an install in its progress view.
  bool Start(const std::wstring& exe, bool debugged = false, const std::wstring& arguments = L"");
  // The installer's visible main window, found by its title.
  HWND WaitForWindow(DWORD timeout_ms = 10000);
  // The hidden window of the installer's that the system asks before the session ends
  // while no window of it is shown; null when none came.
  HWND WaitForSessionWindow(DWORD timeout_ms = 10000) const;
  bool WaitForExit(DWORD timeout_ms, DWORD* exit_code);
  // Closes the window if it is still there and waits for the process; kills it after a bound.
  void Finish();

  HWND window() const { return window_; }
  HANDLE process() const { return process_; }
  DWORD pid() const { return pid_; }

  HWND Control(int id) const;
  HWND StatusLabel() const;   // the label under the directory field
  HWND WarningLabel() const;  // the running-browser warning
  bool IsVisible(int id) const { return IsWindowVisible(Control(id)) != FALSE; }
  bool IsChecked(int id) const;
  std::wstring Text(HWND control) const;
  // Types a whole new text into the directory field; the field reports the change.
  void SetDirectory(const std::wstring& text);
  // A press and a release of the left button in the middle of a control.
  void Click(int id);
  // A press and a release at a point of the main window's client area.
  void ClickAt(POINT client);
  // Waits until the installer has handled every message posted to it so far.
  bool Barrier();

  Image Capture() const { return CaptureClient(window_); }
  RECT ClientRect(HWND control) const;  // a control's rectangle in the window's client area
  int ClientHeight() const;
  // The window's shape: a rounded corner, the bottom row of a window `height` pixels high,
  // and nothing far below it.
  testing::AssertionResult IsShapedFor(int height) const;

  void HoldNewThreads(bool hold) { hold_ = hold; }
  size_t HeldThreads();
  void ReleaseHeldThreads();
  // Lets a debugged installer run on its own again: a debugger stops the whole process at
  // every thread start and library load, which would distort what comes next.
  void StopDebugging();

 private:
  void DebugLoop(std::wstring exe, std::wstring command, HANDLE ready);
  HWND FindLabelAt(POINT client) const;

  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
  std::thread debugger_;
  std::atomic<bool> hold_{false};
  std::atomic<bool> detach_{false};
  std::mutex held_mutex_;
  std::vector<HANDLE> held_;
  unsigned barrier_count_ = 0;
};

// The accessible object of a control's client area, as a screen reader gets it; null when
// there is none. COM must be started. Release it only once the installer has ended: Wine's
// COM can deadlock an installer that drops its last stub of an interface while a call on
// it is still being finished.
IAccessible* AccessibleOf(HWND control);
// The object itself (CHILDID_SELF), for its calls.
VARIANT AccessibleSelf();
// What the object says after its name; empty when it says nothing.
std::wstring AccessibleDescription(IAccessible* accessible);
// What a screen reader reads of the object itself first: its role, name and value.
struct AccessibleReading {
  LONG role = 0;
  std::wstring name;
  std::wstring value;
  bool operator==(const AccessibleReading& other) const {
    return role == other.role && name == other.name && value == other.value;
  }
};
void PrintTo(const AccessibleReading& reading, std::ostream* out);
AccessibleReading ReadAccessible(IAccessible* accessible);
// The same, with a limit: a call into an installer whose new threads the test holds may wait
// for ever (the thread that would answer it is new). After `timeout_ms` another thread runs
// `release`, which lets the installer's threads go, and the read ends; false then.
bool ReadAccessibleWithin(IAccessible* accessible, DWORD timeout_ms, const std::function<void()>& release,
                          AccessibleReading* reading);

// The accessibility events one process sends, heard as a screen reader hears them: out of
// context, delivered while the recording thread looks at its messages. One at a time.
class WinEventRecorder {
 public:
  WinEventRecorder(DWORD pid, DWORD first_event, DWORD last_event);
  ~WinEventRecorder();
  WinEventRecorder(const WinEventRecorder&) = delete;
  WinEventRecorder& operator=(const WinEventRecorder&) = delete;

  bool hooked() const { return hook_ != nullptr; }
  // Whether `event` came for the client object of `window`, looking at this thread's
  // messages first.
  bool Heard(DWORD event, HWND window);

 private:
  HWINEVENTHOOK hook_ = nullptr;
};

// Paths of the test build.
std::wstring SetupExe();        // the built KeloSetup.exe
std::wstring ScreenshotDir();   // <build>/screenshots, created on first use
// A scratch folder in the prefix's temp folder, empty: what an earlier test left in one of
// that name is removed first. (The prefix goes with the test program's run.)
std::wstring ScratchDir(const wchar_t* name);

// Makes the URL recorder (programs/url_recorder.cpp) the handler of web addresses: the
// shell then starts it with the address, and it records the address in `folder`.
void RegisterUrlRecorder(const std::wstring& folder);
// Makes `command` ("\"program\" \"%1\"") the handler of web addresses.
void RegisterUrlHandler(const std::wstring& command);
// The addresses recorded so far, oldest first.
std::vector<std::wstring> RecordedUrls(const std::wstring& folder);
// How each opener asked the browser to show itself (SW_...), oldest first.
std::vector<int> RecordedShowCommands(const std::wstring& folder);

// A bounded wait for a top-level window with this exact title, from any process.
HWND WaitForTitle(const wchar_t* title, DWORD timeout_ms);

// The installer copied into a scratch folder under another file name (which carries the
// channel); removed with the folder by the caller.
std::wstring CopyInstaller(const wchar_t* file_name);

// The failure memory of the current user: -1 when there is none.
long long FailureMemory();
void SetFailureMemory(long long value);  // -1 deletes it

}  // namespace kelo::test
