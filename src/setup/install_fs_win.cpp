#include "setup/install_fs_win.h"

#include <iterator>

#include "base/device_name.h"
#include "base/file_paths.h"
#include "base/utf8.h"
#include "base/win_holders.h"
#include "setup/install_transaction.h"
#include "setup/packet.h"
#include "sysreg/install_dir.h"

namespace kelo {

namespace {

class Win32Writer : public FileWriter {
 public:
  Win32Writer(HANDLE file, std::atomic<DWORD>* error) : file_(file), error_(error) {}
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!WriteFile(file_.Get(), p, chunk, &written, nullptr)) return Fail(GetLastError());
      if (written == 0) return Fail(ERROR_DISK_FULL);
      p += written;
      size -= written;
    }
    return true;
  }
  // A write the cache could not complete may only be reported by the flush or the close.
  bool Finish() override {
    if (!FlushFileBuffers(file_.Get())) return Fail(GetLastError());
    return CloseHandle(file_.Take()) || Fail(GetLastError());
  }

 private:
  bool Fail(DWORD code) {
    *error_ = code;
    return false;
  }
  ScopedHandle file_;
  std::atomic<DWORD>* error_;
};

class Win32Reader : public FileReader {
 public:
  Win32Reader(HANDLE file, std::atomic<DWORD>* error) : file_(file), error_(error) {}
  bool Read(void* data, size_t size, size_t* got) override {
    DWORD read = 0;
    if (!ReadFile(file_.Get(), data, size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), &read, nullptr)) {
      *error_ = GetLastError();
      return false;
    }
    *got = read;
    return true;
  }

 private:
  ScopedHandle file_;
  std::atomic<DWORD>* error_;
};

// The calls that remove or replace a file or folder refuse one marked read-only, though it
// is ours: the mark on `path` goes first, and comes back if `call` still fails. The mark is
// the file's, not its name's: where the file has other names (a backup tool's hard links,
// outside the folder) and `call` deletes this one, it comes back for them once this name is
// gone, through a handle held across the delete. A replace cannot go through such a handle
// (the file it replaces must not be open): there the other names keep the file unmarked.
template <typename Call>
bool EvenReadOnly(const std::wstring& path, Call call, bool deletes) {
  if (call()) return true;
  const DWORD error = GetLastError();
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
  if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_READONLY) || IsLink(path, attributes)) {
    SetLastError(error);
    return false;
  }
  // Only a file has other names: a folder's link count says something else (on Wine, its
  // subfolders).
  const bool file_deleted = deletes && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  ScopedHandle file(file_deleted ? CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                                 : INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info = {};
  const bool named_elsewhere =
      file.IsValid() && GetFileInformationByHandle(file.Get(), &info) && info.nNumberOfLinks > 1;
  if (!named_elsewhere) file.Reset();
  if (!SetFileAttributesW(path.c_str(), writable ? writable : FILE_ATTRIBUTE_NORMAL)) {
    SetLastError(error);
    return false;
  }
  if (call()) {
    if (named_elsewhere) {
      FILE_BASIC_INFO basic = {};  // times left as they are
      basic.FileAttributes = attributes;
      SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic));
    }
    return true;
  }
  const DWORD again = GetLastError();
  SetFileAttributesW(path.c_str(), attributes);
  SetLastError(again);
  return false;
}

// What another program's brief hold on a file, or on one in a folder, answers a move: an
// antivirus scanning a file just closed, an indexer. Tried again a little later, it passes.
// A delete answers "access denied" for good where the file is a running program's.
bool IsBusy(DWORD error, bool deletes) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         (error == ERROR_ACCESS_DENIED && !deletes);
}

// The waits between the tries of a move, about 2 s in all.
constexpr DWORD kBusyWaitsMs[] = {20, 40, 80, 160, 320, 500, 500, 500};

}  // namespace

ScopedHandle OpenToRewrite(const std::wstring& path, DWORD* links) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  // Asked for what is needed only: the whole of GetFileInformationByHandle asks the volume
  // for its serial number too, which under Wine costs most of a millisecond, on every file
  // an install writes.
  FILE_BASIC_INFO basic;
  if (!file.IsValid() || !GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof basic))
    return ScopedHandle();
  if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    SetLastError(ERROR_CANT_ACCESS_FILE);
    return ScopedHandle();
  }
  FILE_STANDARD_INFO standard;
  if (links && !GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof standard))
    return ScopedHandle();
  if (links) *links = standard.NumberOfLinks;
  return file;
}

Win32InstallFs::Win32InstallFs(const std::wstring& root) : root_(root) {
  if (!root_.empty() && !IsPathSeparator(root_.back())) root_ += L'\\';
}

bool Win32InstallFs::Check(bool ok) {
  if (!ok) error_ = GetLastError();
  return ok;
}

bool Win32InstallFs::FullPath(const std::string& relative, std::wstring* path) {
  *path = root_;
  if (relative.empty()) return true;
  const int size = static_cast<int>(relative.size());
  // The one flag every code page takes, UTF-8 included: a name the page cannot read is
  // refused rather than turned into some other name.
  const int chars = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, relative.data(), size, nullptr, 0);
  if (chars <= 0) return Check(false);
  path->resize(root_.size() + static_cast<size_t>(chars));
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, relative.data(), size, &(*path)[root_.size()], chars);
  if (path->size() >= kPathChars) {
    error_ = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  return true;
}

InstallFs::Kind Win32InstallFs::Probe(const std::string& relative) {
  std::wstring path;
  // A path that cannot be formed (too long, or a name the code page cannot read) leads to
  // a file no one can look at, not to none.
  if (!FullPath(relative, &path)) return Kind::kUnknown;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Kind::kMissing;
    error_ = error;
    return Kind::kUnknown;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // The point's kind is in its directory entry.
    WIN32_FIND_DATAW found;
    ScopedFindHandle find(FindFirstFileW(path.c_str(), &found));
    if (!find.IsValid()) {
      error_ = GetLastError();
      return Kind::kUnknown;
    }
    if (LeadsElsewhere(attributes, found.dwReserved0)) return Kind::kLink;
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? Kind::kDirectory : Kind::kFile;
}

bool Win32InstallFs::MakeDir(const std::string& relative) {
  std::wstring path;
  if (!FullPath(relative, &path)) return false;
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS && Probe(relative) == Kind::kDirectory) return true;
  error_ = error;
  return false;
}

bool Win32InstallFs::RemoveDir(const std::string& relative) {
  std::wstring path;
  return FullPath(relative, &path) && Check(EvenReadOnly(path, [&] { return RemoveDirectoryW(path.c_str()); }, /*deletes=*/true));
}

bool Win32InstallFs::RemoveFile(const std::string& relative) {
  std::wstring path;
  return FullPath(relative, &path) &&
         OnceFree([&] { return EvenReadOnly(path, [&] { return DeleteFileW(path.c_str()) != FALSE; }, /*deletes=*/true); },
                  /*deletes=*/true);
}

// A running program's file can be renamed though not deleted: that is what lets an install
// replace the files of a browser that is still running.
bool Win32InstallFs::Move(const std::string& from, const std::string& to) {
  std::wstring source, target;
  return FullPath(from, &source) && FullPath(to, &target) && MoveOnceFree(source, target, 0);
}

bool Win32InstallFs::Replace(const std::string& from, const std::string& to) {
  std::wstring source, target;
  return FullPath(from, &source) && FullPath(to, &target) &&
         MoveOnceFree(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool Win32InstallFs::OnceFree(const std::function<bool()>& attempt, bool deletes) {
  for (size_t waited = 0;; ++waited) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (!IsBusy(error, deletes) || waited == std::size(kBusyWaitsMs)) {
      error_ = error;
      return false;
    }
    busy_wait(kBusyWaitsMs[waited]);
  }
}

bool Win32InstallFs::MoveOnceFree(const std::wstring& source, const std::wstring& target, DWORD flags) {
  const auto move = [&] { return MoveFileExW(source.c_str(), target.c_str(), flags) != FALSE; };
  // A read-only mark on the file replaced does not keep ours from replacing it.
  return OnceFree([&] { return (flags & MOVEFILE_REPLACE_EXISTING) ? EvenReadOnly(target, move, /*deletes=*/false) : move(); });
}

bool Win32InstallFs::HoldFolder(ScopedHandle* hold) {
  std::wstring path;
  if (!FullPath(kFolderHoldName, &path)) return false;
  // Closed, the hold is deleted: a link planted at its name would have what it leads to
  // deleted with it, and is refused. (A file there is one a power cut left: taken over.
  // One that cannot be looked at may be another's hold being let go: tried below.)
  const Kind there = Probe(kFolderHoldName);
  if (there == Kind::kLink || there == Kind::kDirectory) {
    error_ = ERROR_CANT_ACCESS_FILE;
    return false;
  }
  // Shared with nobody, and gone once closed, also when the process is ended. A hold being
  // let go answers "access denied" until it is gone.
  return OnceFree([&] {
    hold->Reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return hold->IsValid() || GetLastError() == ERROR_PATH_NOT_FOUND;
  });
}

std::unique_ptr<FileWriter> Win32InstallFs::Create(const std::string& relative) {
  std::wstring path;
  if (!FullPath(relative, &path)) return nullptr;
  // A link planted at the name (one of our own files' names in the folder) is refused, never
  // written through to the file it leads to.
  ScopedHandle file = OpenToRewrite(path);
  if (!Check(file.IsValid()) || !Check(SetEndOfFile(file.Get()))) return nullptr;
  return std::make_unique<Win32Writer>(file.Take(), &error_);
}

std::unique_ptr<FileReader> Win32InstallFs::Open(const std::string& relative) {
  std::wstring path;
  if (!FullPath(relative, &path)) return nullptr;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (!Check(file != INVALID_HANDLE_VALUE)) return nullptr;
  return std::make_unique<Win32Reader>(file, &error_);
}

bool Win32InstallFs::List(const std::string& dir, std::vector<Entry>* entries) {
  entries->clear();
  std::wstring path;
  if (!FullPath(dir, &path)) return false;
  WIN32_FIND_DATAW found;
  ScopedFindHandle find(FindFirstFileW(ChildPath(path, L"*").c_str(), &found));
  if (!Check(find.IsValid())) return false;
  // Up to three bytes a character in UTF-8, the ANSI code page of a system (or program)
  // set to it; there the conversion takes no best-fit flag or default-character report,
  // and fails on a name it cannot spell instead.
  const bool utf8 = GetACP() == CP_UTF8;
  do {
    const wchar_t* name = found.cFileName;
    if (name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'))) continue;
    char bytes[kPathChars * 3];
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, name, -1, bytes,
                                         sizeof bytes, nullptr, utf8 ? nullptr : &lossy);
    Entry entry;
    entry.name.assign(bytes, size > 0 ? static_cast<size_t>(size - 1) : 0);
    const DWORD attributes = found.dwFileAttributes;
    if (LeadsElsewhere(attributes, found.dwReserved0)) entry.kind = Kind::kLink;
    else entry.kind = attributes & FILE_ATTRIBUTE_DIRECTORY ? Kind::kDirectory : Kind::kFile;
    // A name the code page cannot spell, or one ending in a dot or space (which a path
    // loses), would lead to some other file, one a path opens a device for ("nul", made by
    // another system's tools) to the device, and one deeper than a path reaches (left by a
    // long-path-aware program) to none: it is left alone. A folder needs room for the "\*"
    // that lists it.
    const size_t chars = lstrlenW(name);
    const size_t reach = ChildPath(path, name).size() + (entry.kind == Kind::kDirectory ? 2 : 0);
    // The device check reads the name in UTF-8: in the code page, the bytes of a port's
    // superscript digit spell other letters on many systems (in 936, "COM\xC2\xB9" is COM
    // and a Chinese character, no port).
    if (size <= 0 || lossy || name[chars - 1] == L'.' || name[chars - 1] == L' ' || reach >= kPathChars ||
        IsDeviceName(Utf8(name, chars)))
      entry.kind = Kind::kLink;
    // A name too long for a packet, or holding what a packet name may not, is never taken
    // for an older setup program's; nor is one spelt with a "\" byte (the second half of a
    // double-byte character), which a packet name would split in two.
    entry.packable = entry.name.find('\\') == std::string::npos &&
                     IsSafeArchiveName(entry.name.data(), entry.name.size());
    entries->push_back(entry);
  } while (FindNextFileW(find.Get(), &found));
  // A listing cut short by an error is no listing: a name it missed may be the user's.
  return Check(GetLastError() == ERROR_NO_MORE_FILES);
}

bool Win32InstallFs::FreeBytes(uint64_t* bytes) { return Check(QueryFreeSpace(root_.c_str(), bytes)); }

}  // namespace kelo
