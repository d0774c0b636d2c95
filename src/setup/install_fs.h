#pragma once
// The file operations an install is made of, on paths relative to the install directory,
// with "\" between components as in packet names ("" is the directory itself). The
// installer runs them on Win32; tests and benchmarks on POSIX, or through a wrapper that
// fails or stops at any chosen operation.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelo {

class FileWriter {
 public:
  // Closes without checking: for a file given up on.
  virtual ~FileWriter() = default;
  virtual bool Write(const void* data, size_t size) = 0;
  // Flushes the file to the disk and closes it; only then is it whole.
  virtual bool Finish() = 0;
};

class FileReader {
 public:
  virtual ~FileReader() = default;
  // Up to `size` bytes into `data`; *got is 0 only at the end of the file.
  virtual bool Read(void* data, size_t size, size_t* got) = 0;
};

class InstallFs {
 public:
  // kUnknown: it could not be looked at (access denied, say). Something may stand there: it
  // is not to be touched, nor to be taken for gone.
  enum class Kind { kMissing, kFile, kDirectory, kLink, kUnknown };
  struct Entry {
    std::string name;
    Kind kind;
    // A name a packet could carry (see IsSafeArchiveName): only such a file can be taken for
    // an older setup program's. Any other is still removed with a folder of ours.
    bool packable = true;
  };

  virtual ~InstallFs() = default;
  // kLink for a junction or symbolic link: whatever it points to is never entered. With
  // kUnknown, LastError() says why.
  virtual Kind Probe(const std::string& path) = 0;
  // Creates one folder level (its parent exists); true when the folder exists afterwards.
  virtual bool MakeDir(const std::string& path) = 0;
  // Removes a folder, only when it is empty.
  virtual bool RemoveDir(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Renames a file; fails when `to` exists.
  virtual bool Move(const std::string& from, const std::string& to) = 0;
  // Puts `from` in the place of `to` in one step, written through to the disk.
  virtual bool Replace(const std::string& from, const std::string& to) = 0;
  // Creates or truncates a file; null on failure.
  virtual std::unique_ptr<FileWriter> Create(const std::string& path) = 0;
  // Opens a file to read; null on failure.
  virtual std::unique_ptr<FileReader> Open(const std::string& path) = 0;
  // A small file whole (the ledger, the journal): no more than 64 MB.
  bool ReadAll(const std::string& path, std::string* data) {
    constexpr size_t kMaxBytes = size_t{64} << 20;
    std::unique_ptr<FileReader> file = Open(path);
    if (!file) return false;
    data->clear();
    char buffer[65536];
    for (size_t got = 0;; data->append(buffer, got)) {
      if (!file->Read(buffer, sizeof buffer, &got) || data->size() + got > kMaxBytes) return false;
      if (got == 0) return true;
    }
  }
  virtual bool List(const std::string& dir, std::vector<Entry>* entries) = 0;
  // Bytes free for the user on the install directory's volume; false when unknown.
  virtual bool FreeBytes(uint64_t* bytes) = 0;
  // The system's code (a Win32 error or an errno value) of the latest failure, kept when it
  // happened: later calls, or another thread, do not change it.
  virtual uint32_t LastError() const = 0;
};

}  // namespace kelo
