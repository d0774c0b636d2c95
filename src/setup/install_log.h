#pragma once
// A plain-text record of each install, for support to ask for: the installer's version, the
// directory, the options, every step with its result, Win32 error code and time taken, and
// the outcome. UTF-8 with a byte-order mark, so Notepad shows the Chinese. Writing it never
// fails an install: without a file there is no log.
#include <windows.h>

#include <string>

#include "base/win_holders.h"

namespace kelo {

// "%TEMP%\KeloSetup.log": the log's place unless the command line names another.
std::wstring DefaultLogPath();

// An error code as support looks it up: a Win32 error in decimal, an HRESULT (a shell or COM
// call's, the top bit set) in hexadecimal, as the system's tables list each.
std::wstring ErrorCodeText(DWORD code);

class InstallLog {
 public:
  // Starts the file afresh. A named file that cannot be written gives way to the default
  // one, whose first line says why, unless `fall_back` is false; false (and no log) when
  // none can be.
  bool Open(const std::wstring& path, bool fall_back = true);
  // One line, behind the local time.
  void Line(const std::wstring& text);
  // The last line, the outcome; the file is let go then, for a run in another logon session
  // to write its own there.
  void Finish(const std::wstring& outcome);
  const std::wstring& path() const { return path_; }

 private:
  // `named`: a log the command line names, which must not be reached through a link.
  bool Start(const std::wstring& path, bool named);

  ScopedHandle file_;
  std::wstring path_;
};

}  // namespace kelo
