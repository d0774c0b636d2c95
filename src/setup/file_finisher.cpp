#include "setup/file_finisher.h"

#include <utility>

#include "base/start_thread.h"

namespace kelo {

namespace {

// Open files waiting for their flush: enough to ride out a run of small files.
constexpr size_t kMaxWaiting = 64;

}  // namespace

FileFinisher::FileFinisher(bool background) : background_(background) {}

FileFinisher::~FileFinisher() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

bool FileFinisher::Add(std::unique_ptr<FileWriter> file) {
  // The thread starts with the first file, so a step that writes none starts none. Without
  // it, files are finished as they come.
  if (background_) {
    background_ = false;
    StartThread(&thread_, [this] { Run(); });
  }
  if (!thread_.joinable()) {
    if (!failed_ && !file->Finish()) failed_ = true;
    return !failed_;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.size() < kMaxWaiting || failed_; });
  if (failed_) return false;
  queue_.push_back(std::move(file));
  changed_.notify_all();
  return true;
}

bool FileFinisher::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
  return !failed_;
}

void FileFinisher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) return;
    std::unique_ptr<FileWriter> file = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    const bool give_up = failed_;
    lock.unlock();
    const bool finished = give_up || file->Finish();
    file.reset();
    lock.lock();
    busy_ = false;
    if (!finished) failed_ = true;
    changed_.notify_all();
  }
}

}  // namespace kelo
