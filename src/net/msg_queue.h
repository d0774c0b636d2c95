#pragma once
// The bounded queues between the client's users and its two worker threads.
#include "net/platform.h"

// One message as it waits in a queue: a fixed record of 40976 bytes.
struct QueuedMsg {
  static constexpr unsigned kMaxData = 40970;
  unsigned int id;
  unsigned short length;
  char data[kMaxData];
};

// A ring of 513 slots holding at most 512 messages, each in a heap block of its own. A
// counting semaphore counts the messages for the takers; the lock guards the slots.
class MsgQueue {
 public:
  static constexpr int kCapacity = 512;

  // Ends the process with exit code -1 when the semaphore cannot be made.
  MsgQueue();
  // Releases every takers still waiting first, then every queued message.
  ~MsgQueue();
  MsgQueue(const MsgQueue&) = delete;
  MsgQueue& operator=(const MsgQueue&) = delete;

  // False when the message was dropped: the queue is full or no block could be had.
  bool Append(const QueuedMsg& msg);
  // Waits, without a time-out, for a message and moves it to *out. False when the wait
  // was ended by Wake or Close, or when stopped(context) held as the take began: nothing
  // was taken then, but for `queued_when_stopped`, which takes a message already queued
  // without waiting. The check and a later Wake are ordered by the lock, so a taker
  // cannot miss a Wake that follows its stop condition.
  bool Take(QueuedMsg* out, bool (*stopped)(const void* context) = nullptr, const void* context = nullptr,
            bool queued_when_stopped = false);
  // Ends the wait of every taker waiting now, and returns once each has left it; the
  // messages stay queued.
  void Wake();
  // Wakes every taker, refuses later takes and returns once no taker is left inside, so
  // the queue can go.
  void Close();
  int Count();
  // Messages refused by Append since the queue was made.
  int Dropped();
  // Takers inside Take, waiting or about to.
  int Takers();

 private:
  int CountLocked() const;
  // Moves the oldest message to *out; the lock is held and one is queued.
  void TakeQueued(QueuedMsg* out);
  QueuedMsg** Next(QueuedMsg** slot) { return slot + 1 == end_ ? slots_ : slot + 1; }

  QueuedMsg* slots_[kCapacity + 1];
  int capacity_;
  QueuedMsg** read_;
  QueuedMsg** write_;
  QueuedMsg** end_;
  kelo::net::Semaphore available_;
  kelo::net::Lock lock_;
  // Semaphore counts posted only to end waits. The count on the semaphore is always the
  // queued messages plus these, less the takers that have passed the wait and not yet
  // taken the lock, so a woken taker can tell a wake-up from a message.
  int wakeups_ = 0;
  int takers_ = 0;
  int dropped_ = 0;
  bool closed_ = false;
};
