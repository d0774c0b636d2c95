#pragma once
// The install's file operations on a POSIX folder, for the native tests, the fuzz target
// and the benchmark: the same transaction the installer runs, on Linux files.
#include <atomic>
#include <string>

#include "setup/install_fs.h"

namespace kelo {

class PosixInstallFs : public InstallFs {
 public:
  // `root` is the install directory. `durable`: files and the ledger reach the disk before
  // they count as written (fsync), as the installer's do.
  explicit PosixInstallFs(std::string root, bool durable = true);

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

 private:
  // The full path of a relative one.
  std::string Path(const std::string& relative) const;

  bool Check(bool ok);

  std::string root_;
  bool durable_;
  // Written by the thread that finishes files too.
  std::atomic<uint32_t> error_{0};
};

}  // namespace kelo
