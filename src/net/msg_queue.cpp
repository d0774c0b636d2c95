#include "net/msg_queue.h"

#include <climits>
#include <cstring>
#include <new>

MsgQueue::MsgQueue()
    : slots_{}, capacity_(kCapacity), read_(slots_), write_(slots_), end_(slots_ + kCapacity + 1) {
  // The maximum leaves room above the 512 messages for the counts that only wake takers.
  if (!available_.Create(0, LONG_MAX)) kelo::net::FatalExit();
}

MsgQueue::~MsgQueue() {
  Close();
  for (QueuedMsg* block : slots_) delete block;
}

int MsgQueue::CountLocked() const {
  long queued = write_ - read_;
  return static_cast<int>(queued >= 0 ? queued : capacity_ + 1 + queued);
}

int MsgQueue::Count() {
  kelo::net::LockGuard guard(lock_);
  return CountLocked();
}

int MsgQueue::Takers() {
  kelo::net::LockGuard guard(lock_);
  return takers_;
}

int MsgQueue::Dropped() {
  kelo::net::LockGuard guard(lock_);
  return dropped_;
}

bool MsgQueue::Append(const QueuedMsg& msg) {
  {
    kelo::net::LockGuard guard(lock_);
    QueuedMsg* block = CountLocked() < capacity_ ? new (std::nothrow) QueuedMsg : nullptr;
    if (!block) {
      ++dropped_;
      return false;
    }
    std::memcpy(block, &msg, sizeof msg);
    *write_ = block;
    write_ = Next(write_);
  }
  available_.Post();
  return true;
}

bool MsgQueue::Take(QueuedMsg* out, bool (*stopped)(const void*), const void* context, bool queued_when_stopped) {
  {
    kelo::net::LockGuard guard(lock_);
    if (closed_) return false;
    if (stopped && stopped(context)) {
      // Without waiting, and without becoming a taker Wake would count: a message queued
      // and not yet claimed by a taker past its wait (one is, when a count is there; which
      // count it is does not matter, as long as one goes with one message). The count is
      // taken under the lock, which a wait must never be, but this one never blocks.
      if (!queued_when_stopped || CountLocked() == 0 || !available_.TryWait()) return false;
      TakeQueued(out);
      return true;
    }
    ++takers_;
  }
  available_.Wait();
  kelo::net::LockGuard guard(lock_);
  --takers_;
  if (wakeups_ > 0) {
    --wakeups_;
    return false;
  }
  // Cannot be empty here: every count not posted by Wake belongs to a queued message.
  if (read_ == write_) return false;
  TakeQueued(out);
  return true;
}

void MsgQueue::TakeQueued(QueuedMsg* out) {
  std::memcpy(out, *read_, sizeof *out);
  delete *read_;
  *read_ = nullptr;
  read_ = Next(read_);
}

void MsgQueue::Wake() {
  int posts;
  {
    kelo::net::LockGuard guard(lock_);
    posts = takers_ - wakeups_;
    if (posts <= 0) return;
    wakeups_ += posts;
  }
  while (posts-- > 0) available_.Post();
  // Returns once each woken taker has used its wake-up: one still pending could otherwise
  // be taken by a newcomer after a restart, which would return empty from a running client
  // while the taker meant stays waiting. Only takers already inside can use them, for the
  // callers wake once newcomers see the stop.
  for (;;) {
    {
      kelo::net::LockGuard guard(lock_);
      if (wakeups_ == 0) return;
    }
    kelo::net::SleepMs(1);
  }
}

void MsgQueue::Close() {
  {
    kelo::net::LockGuard guard(lock_);
    closed_ = true;
  }
  Wake();
  // The woken takers only need the lock once more; wait for the last to leave it.
  for (;;) {
    {
      kelo::net::LockGuard guard(lock_);
      if (takers_ == 0) return;
    }
    kelo::net::SleepMs(1);
  }
}
