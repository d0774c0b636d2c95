#include "setup/install_fs_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "setup/packet.h"

namespace kelo {

namespace {

class PosixWriter : public FileWriter {
 public:
  PosixWriter(int fd, bool durable, std::atomic<uint32_t>* error) : fd_(fd), durable_(durable), error_(error) {}
  ~PosixWriter() override {
    if (fd_ >= 0) close(fd_);
  }
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail(n == 0 ? ENOSPC : errno);
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  bool Finish() override {
    const bool synced = !durable_ || fsync(fd_) == 0;
    const int saved = errno;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    if (!synced) return Fail(saved);
    return closed || Fail(errno);
  }

 private:
  bool Fail(int code) {
    *error_ = static_cast<uint32_t>(code);
    return false;
  }
  int fd_;
  bool durable_;
  std::atomic<uint32_t>* error_;
};

class PosixReader : public FileReader {
 public:
  PosixReader(int fd, std::atomic<uint32_t>* error) : fd_(fd), error_(error) {}
  ~PosixReader() override { close(fd_); }
  bool Read(void* data, size_t size, size_t* got) override {
    ssize_t n;
    do n = read(fd_, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
      *error_ = static_cast<uint32_t>(errno);
      return false;
    }
    *got = static_cast<size_t>(n);
    return true;
  }

 private:
  int fd_;
  std::atomic<uint32_t>* error_;
};

}  // namespace

PosixInstallFs::PosixInstallFs(std::string root, bool durable) : root_(std::move(root)), durable_(durable) {}

std::string PosixInstallFs::Path(const std::string& relative) const {
  std::string path = root_;
  if (relative.empty()) return path;
  path += '/';
  for (char c : relative) path += c == '\\' ? '/' : c;
  return path;
}

bool PosixInstallFs::Check(bool ok) {
  if (!ok) error_ = static_cast<uint32_t>(errno);
  return ok;
}

InstallFs::Kind PosixInstallFs::Probe(const std::string& path) {
  struct stat info;
  if (lstat(Path(path).c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return Kind::kMissing;
    error_ = static_cast<uint32_t>(errno);
    return Kind::kUnknown;
  }
  if (S_ISREG(info.st_mode)) return Kind::kFile;
  if (S_ISDIR(info.st_mode)) return Kind::kDirectory;
  return Kind::kLink;
}

bool PosixInstallFs::MakeDir(const std::string& path) {
  if (mkdir(Path(path).c_str(), 0777) == 0) return true;
  if (errno == EEXIST && Probe(path) == Kind::kDirectory) return true;
  return Check(false);
}

bool PosixInstallFs::RemoveDir(const std::string& path) { return Check(rmdir(Path(path).c_str()) == 0); }

bool PosixInstallFs::RemoveFile(const std::string& path) { return Check(unlink(Path(path).c_str()) == 0); }

bool PosixInstallFs::Move(const std::string& from, const std::string& to) {
  if (Probe(to) != Kind::kMissing) {
    error_ = EEXIST;
    return false;
  }
  return Check(rename(Path(from).c_str(), Path(to).c_str()) == 0);
}

bool PosixInstallFs::Replace(const std::string& from, const std::string& to) {
  if (!Check(rename(Path(from).c_str(), Path(to).c_str()) == 0)) return false;
  if (!durable_) return true;
  // The rename itself reaches the disk with its folder.
  const int dir = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir < 0) return Check(false);
  const bool synced = fsync(dir) == 0;
  Check(synced);
  close(dir);
  return synced;
}

std::unique_ptr<FileWriter> PosixInstallFs::Create(const std::string& path) {
  // A link planted at the name is refused, never written through.
  const int fd = open(Path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (!Check(fd >= 0)) return nullptr;
  return std::make_unique<PosixWriter>(fd, durable_, &error_);
}

std::unique_ptr<FileReader> PosixInstallFs::Open(const std::string& path) {
  const int fd = open(Path(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (!Check(fd >= 0)) return nullptr;
  return std::make_unique<PosixReader>(fd, &error_);
}

bool PosixInstallFs::List(const std::string& dir, std::vector<Entry>* entries) {
  entries->clear();
  DIR* listing = opendir(Path(dir).c_str());
  if (!Check(listing != nullptr)) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing);
    if (!entry) break;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    // A backslash in a name would make it two here: such a file is left alone.
    const Kind kind = name.find('\\') == std::string::npos ? Probe(dir.empty() ? name : dir + "\\" + name)
                                                              : Kind::kLink;
    entries->push_back({name, kind, IsSafeArchiveName(name.data(), name.size())});
  }
  // A listing cut short by an error is no listing: a name it missed may be the user's.
  const bool whole = Check(errno == 0);
  closedir(listing);
  return whole;
}

bool PosixInstallFs::FreeBytes(uint64_t* bytes) {
  struct statvfs info;
  if (statvfs(root_.c_str(), &info) != 0) return Check(false);
  *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

}  // namespace kelo
