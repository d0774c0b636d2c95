#pragma once
// Finishing written files (flushed to the disk, then closed) on a thread of its own, in the
// order they come, so the thread that writes goes on with the next file while the disk
// catches up with the last. Without the thread each file is finished as it is handed over,
// on the caller's thread: the order of operations stays the caller's, as the fault tests
// that count operations need.
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "setup/install_fs.h"

namespace kelo {

class FileFinisher {
 public:
  explicit FileFinisher(bool background);
  // Waits for the files handed over.
  ~FileFinisher();
  FileFinisher(const FileFinisher&) = delete;
  FileFinisher& operator=(const FileFinisher&) = delete;

  // False once a file failed to finish: the files after it are closed unfinished, and the
  // caller stops. Waits while many files are still to finish.
  bool Add(std::unique_ptr<FileWriter> file);
  // Once every file handed over is finished or given up: false if one failed.
  bool Wait();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<FileWriter>> queue_;
  bool busy_ = false;
  bool failed_ = false;
  bool stopping_ = false;
  bool background_;  // until the thread is asked for
  std::thread thread_;
};

}  // namespace kelo
