#pragma once
// The install's file operations on Win32, below the install directory. Names are converted
// from the packet's ANSI code page; a full path that does not fit 260 characters fails
// with ERROR_FILENAME_EXCED_RANGE before the disk is touched.
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "base/win_holders.h"
#include "setup/install_fs.h"

namespace kelo {

// Opens `path` for writing as it stands, made when missing, shared for reading only: a link
// at its name is opened as itself and refused (ERROR_CANT_ACCESS_FILE), never followed. Not
// cut yet: the caller does, once it knows the file for its own. `links`, if any, receives
// how many names the file has. (A link cannot be opened as itself with CREATE_ALWAYS, and
// FAT drives do not tell a handle's reparse tag: its attributes they do.)
ScopedHandle OpenToRewrite(const std::wstring& path, DWORD* links = nullptr);

class Win32InstallFs : public InstallFs {
 public:
  // `root` is the install directory, with or without a final separator.
  explicit Win32InstallFs(const std::wstring& root);

  Kind Probe(const std::string& path) override;
  bool MakeDir(const std::string& path) override;
  bool RemoveDir(const std::string& path) override;
  bool RemoveFile(const std::string& path) override;
  bool Move(const std::string& from, const std::string& to) override;
  bool Replace(const std::string& from, const std::string& to) override;
  std::unique_ptr<FileWriter> Create(const std::string& path) override;
  std::unique_ptr<FileReader> Open(const std::string& path) override;
  bool List(const std::string& dir, std::vector<Entry>* entries) override;
  bool FreeBytes(uint64_t* bytes) override;
  uint32_t LastError() const override { return error_; }

  // Holds the install directory for this program alone while `hold` stays open: the setup
  // programs' lock reaches one logon session only, and an installer started by a scheduled
  // task runs in another. False, with the error kept, when another program holds it (after
  // waiting as a move waits out a brief hold). A directory that is not there needs no hold.
  bool HoldFolder(ScopedHandle* hold);

  // How a move or a file's removal refused by another program's hold waits before its next
  // try.
  std::function<void(DWORD ms)> busy_wait = [](DWORD ms) { Sleep(ms); };

 private:
  // `attempt`, tried again for a while when another program holds the file (or one in the
  // folder); a failure keeps the last try's error. `deletes`: the attempt deletes the file.
  bool OnceFree(const std::function<bool()>& attempt, bool deletes = false);
  bool MoveOnceFree(const std::wstring& source, const std::wstring& target, DWORD flags);
  // False, with the error kept, when the name cannot be converted or the path is too long.
  bool FullPath(const std::string& relative, std::wstring* path);
  bool Check(bool ok);

  std::wstring root_;
  // Written by the thread that finishes files too.
  std::atomic<DWORD> error_{0};
};

}  // namespace kelo
