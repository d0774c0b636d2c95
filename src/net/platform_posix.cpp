// POSIX sockets and threads under the message channel.
#include "net/platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace kelo::net {

bool StartSocketLibrary() { return true; }
void ReleaseSocketLibrary() {}

Socket OpenTcpSocket() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return kNoSocket;
  // Child processes of the user's program must not inherit the connection.
  fcntl(s, F_SETFD, FD_CLOEXEC);
  return s;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) close(s);
}

void AbortSocket(Socket s) {
  if (s != kNoSocket) shutdown(s, SHUT_RDWR);
}

bool SetClientOptions(Socket s, int recv_timeout_ms) {
  int buffer = 65536;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  timeval send_timeout{10, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  timeval recv_timeout{recv_timeout_ms / 1000, (recv_timeout_ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &recv_timeout, sizeof recv_timeout);
  int on = 1;
  return setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
}

bool SetNonBlocking(Socket s, bool on) {
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(s, F_SETFL, flags) == 0;
}

namespace {

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

bool ConnectWithin(Socket s, uint32_t address_be, uint16_t port, int timeout_ms) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address_be;
  to.sin_port = htons(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  // poll, not select: a process with many files open gets descriptors that no fd_set holds.
  // A signal cuts the wait short; it goes on for what is left of it.
  pollfd writable{s, POLLOUT, 0};
  const int64_t deadline_ms = MonotonicMs() + timeout_ms;
  int ready;
  for (int left_ms = timeout_ms;;) {
    ready = poll(&writable, 1, left_ms);
    if (ready >= 0 || errno != EINTR) break;
    const int64_t left = deadline_ms - MonotonicMs();
    left_ms = left > 0 ? static_cast<int>(left) : 0;
  }
  if (ready != 1) return false;
  // A refused or unreachable connection also makes the socket writable here: only the
  // pending error tells the two apart.
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  return error == 0;
}

int SendSome(Socket s, const char* data, int n) {
  ssize_t sent;
  do {
    sent = send(s, data, static_cast<size_t>(n), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -1 : static_cast<int>(sent);
}

int RecvSome(Socket s, char* data, int n) {
  ssize_t got;
  do {
    got = recv(s, data, static_cast<size_t>(n), 0);
  } while (got < 0 && errno == EINTR);
  // The socket blocks, so "would block" can only mean that SO_RCVTIMEO ran out.
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kRecvTimedOut;
  return got < 0 ? -1 : static_cast<int>(got);
}

std::string HostBytes(const std::wstring& host) {
  std::string out;
  for (wchar_t wc : host) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = '?';
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool ResolveByName(const char* name, uint32_t* address_be) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &answer) != 0 || !answer) return false;
  *address_be = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(answer);
  return true;
}

uint32_t ParseAddress(const char* text) { return inet_addr(text); }

void SleepMs(int ms) {
  timespec wait{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void FatalExit() { std::_Exit(-1); }

Lock::Lock() { pthread_mutex_init(&mutex_, nullptr); }
Lock::~Lock() { pthread_mutex_destroy(&mutex_); }
void Lock::Acquire() { pthread_mutex_lock(&mutex_); }
void Lock::Release() { pthread_mutex_unlock(&mutex_); }

Semaphore::~Semaphore() {
  if (created_) sem_destroy(&sem_);
}

bool Semaphore::Create(long initial, long maximum) {
  // POSIX semaphores have no maximum of their own; the queues never post past theirs.
  created_ = sem_init(&sem_, 0, static_cast<unsigned>(initial)) == 0;
  return created_;
}

void Semaphore::Wait() {
  while (sem_wait(&sem_) != 0 && errno == EINTR) {
  }
}

bool Semaphore::TryWait() {
  int result;
  while ((result = sem_trywait(&sem_)) != 0 && errno == EINTR) {
  }
  return result == 0;
}

bool Semaphore::Post() { return sem_post(&sem_) == 0; }

Event::Event() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  // Waits are measured on the monotonic clock: setting the date must not stretch them.
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cond_, &attr);
  pthread_condattr_destroy(&attr);
}

Event::~Event() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

void Event::Set() {
  pthread_mutex_lock(&mutex_);
  set_ = true;
  pthread_cond_broadcast(&cond_);
  pthread_mutex_unlock(&mutex_);
}

bool Event::WaitFor(int timeout_ms) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += (timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&mutex_);
  while (!set_) {
    if (pthread_cond_timedwait(&cond_, &mutex_, &until) == ETIMEDOUT) break;
  }
  bool set = set_;
  pthread_mutex_unlock(&mutex_);
  return set;
}

namespace {

struct StartBlock {
  Thread::Routine routine;
  void* arg;
};

void* ThreadMain(void* p) {
  StartBlock block = *static_cast<StartBlock*>(p);
  delete static_cast<StartBlock*>(p);
  return reinterpret_cast<void*>(static_cast<intptr_t>(block.routine(block.arg)));
}

}  // namespace

Thread::~Thread() {
  if (started_) Detach();
}

bool Thread::Start(Routine routine, void* arg) {
  auto* block = new (std::nothrow) StartBlock{routine, arg};
  if (!block) return false;
  if (pthread_create(&thread_, nullptr, ThreadMain, block) != 0) {
    delete block;
    return false;
  }
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  pthread_join(thread_, nullptr);
  started_ = false;
}

void Thread::Detach() {
  if (!started_) return;
  pthread_detach(thread_);
  started_ = false;
}

}  // namespace kelo::net
