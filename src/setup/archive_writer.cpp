// Writing the decoded archive's files into the install directory with Win32 calls.
#include <shlwapi.h>

#include <cwchar>

#include "base/win_holders.h"
#include "setup/archive_extract.h"
#include "setup/extract_payload.h"

namespace kelo {

namespace {

class DirectorySink : public ArchiveSink {
 public:
  DirectorySink(const std::wstring& dest, bool clear_first) : dest_(dest), clear_first_(clear_first) {
    if (!dest_.empty() && !IsPathSeparator(dest_.back())) dest_ += L'\\';
  }

  bool Accept(const ArchiveRecord& record) override {
    wchar_t path[kPathChars];
    return FullPath(record, path);
  }

  // An earlier installation goes only now that the new one is known to fit.
  bool Prepare() override { return !clear_first_ || ClearInstallDir(dest_); }

  bool Write(const ArchiveRecord& record) override {
    wchar_t path[kPathChars];
    if (!FullPath(record, path)) return false;
    MakeParentDirectory(path);  // if it fails, so does the open below, with the reason
    // CREATE_ALWAYS truncates: an older, longer file of the same name keeps no tail.
    ScopedHandle file(CreateFileW(path, GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return false;
    if (record.data_size != 0) {
      DWORD written = 0;
      if (!WriteFile(file.Get(), record.data, record.data_size, &written, nullptr)) return false;
      if (written != record.data_size) {
        SetLastError(ERROR_DISK_FULL);
        return false;
      }
    }
    return CloseHandle(file.Take()) != 0;
  }

 private:
  // The destination followed by the name in the ANSI code page, as the packet's author
  // wrote it; false when it does not fit the 260-character buffer.
  bool FullPath(const ArchiveRecord& record, wchar_t (&path)[kPathChars]) const {
    const size_t dest_chars = dest_.size();
    if (dest_chars + 1 >= kPathChars) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    std::wmemcpy(path, dest_.c_str(), dest_chars);
    const int room = static_cast<int>(kPathChars - 1 - dest_chars);
    const int name_chars = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, record.name, record.name_size,
                                               path + dest_chars, room);
    if (name_chars <= 0) {
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    path[dest_chars + name_chars] = L'\0';
    return true;
  }

  // Records come in no particular order, but neighbours often share a folder: remember the
  // last one known to exist rather than asking the file system for every file.
  void MakeParentDirectory(const wchar_t* path) {
    const wchar_t* name = path + std::wcslen(path);
    while (name != path && !IsPathSeparator(name[-1])) --name;
    const std::wstring dir(path, name);
    if (dir == known_dir_) return;
    if (!PathFileExistsW(dir.c_str()) && !MakeDirectories(dir)) return;
    known_dir_ = dir;
  }

  std::wstring dest_;
  bool clear_first_;
  std::wstring known_dir_;
};

}  // namespace

bool WriteArchiveFiles(const uint8_t* data, size_t size, const std::wstring& dest, bool clear_first) {
  if (!data || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (CheckArchive(data, size) != PacketError::kNone) {
    SetLastError(ERROR_INVALID_DATA);
    return false;
  }
  DirectorySink sink(dest, clear_first);
  return ExtractArchive(data, size, &sink);
}

}  // namespace kelo
