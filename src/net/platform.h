#pragma once
// The few system services the message channel needs, one thin wrapper each: Winsock and
// Win32 threads on Windows, POSIX sockets and threads elsewhere. The packet, queue and
// client logic above this header is the same on both.
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#else
#include <pthread.h>
#include <semaphore.h>
#endif

namespace kelo::net {

#ifdef _WIN32
using Socket = SOCKET;
#else
using Socket = int;
#endif
inline const Socket kNoSocket = static_cast<Socket>(-1);

// Fields that one thread writes while another polls them (the client's run flag, the
// link's socket, the watch counters) go through these, so each access is whole and
// ordered even though the fields themselves are plain.
template <typename T>
T LoadShared(const T* field) { return __atomic_load_n(field, __ATOMIC_ACQUIRE); }
template <typename T>
void StoreShared(T* field, T value) { __atomic_store_n(field, value, __ATOMIC_RELEASE); }

// Winsock wants a start and a matching release per user; elsewhere both do nothing.
// Start fails (and holds nothing) when the library cannot give version 2.2.
bool StartSocketLibrary();
void ReleaseSocketLibrary();

Socket OpenTcpSocket();
void CloseSocket(Socket s);
// Ends both directions and the calls blocked on the socket without releasing the handle:
// a thread in recv or send returns at once, a later call fails at once, and the handle
// value cannot be reused while threads still hold it.
void AbortSocket(Socket s);
// Buffers of 64 KiB, a send time-out of 10 s, the given receive time-out and keep-alive.
// Only the keep-alive result counts.
bool SetClientOptions(Socket s, int recv_timeout_ms);
bool SetNonBlocking(Socket s, bool on);
// Connects in non-blocking mode and waits up to timeout_ms for the socket to become
// writable. A connection that the system reports as failed (its pending error) fails.
bool ConnectWithin(Socket s, uint32_t address_be, uint16_t port, int timeout_ms);
// One send or recv call; -1 on error. A send to a closed peer never raises a signal.
int SendSome(Socket s, const char* data, int n);
// What RecvSome returns when the receive time-out (on Win32, a slice of it) passed without
// a byte: the connection is still good, unlike after -1 (an error) or 0 (the peer closed it).
inline constexpr int kRecvTimedOut = -2;
int RecvSome(Socket s, char* data, int n);

// The host text in the byte encoding the name resolver expects (the ANSI code page on
// Windows, UTF-8 elsewhere).
std::string HostBytes(const std::wstring& host);
// The first IPv4 address of a name lookup; false when the name does not resolve.
bool ResolveByName(const char* name, uint32_t* address_be);
// Dotted-decimal parse; a text that does not parse yields 255.255.255.255.
uint32_t ParseAddress(const char* text);

void SleepMs(int ms);
// Ends the process at once with exit code -1: the client cannot run without its
// semaphores or threads.
[[noreturn]] void FatalExit();

class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void Acquire();
  void Release();

 private:
#ifdef _WIN32
  CRITICAL_SECTION cs_;
#else
  pthread_mutex_t mutex_;
#endif
};

class LockGuard {
 public:
  explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~LockGuard() { lock_.Release(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock& lock_;
};

// A counting semaphore. Create reports failure instead of ending anything.
class Semaphore {
 public:
  Semaphore() = default;
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  bool Create(long initial, long maximum);
  void Wait();
  // Takes a count only when one is there now.
  bool TryWait();
  bool Post();

 private:
#ifdef _WIN32
  HANDLE handle_ = nullptr;
#else
  sem_t sem_;
  bool created_ = false;
#endif
};

// A manual-reset flag that a thread can wait on with a time-out.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  // True when the flag is set, at once or within timeout_ms.
  bool WaitFor(int timeout_ms);

 private:
#ifdef _WIN32
  HANDLE handle_;
#else
  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
  bool set_ = false;
#endif
};

// A joinable thread running routine(arg); the routine's result is the exit code.
class Thread {
 public:
  using Routine = int (*)(void* arg);
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  bool Start(Routine routine, void* arg);
  // Waits for the routine to return and releases the thread.
  void Join();
  // Releases the thread without waiting; it ends on its own.
  void Detach();

 private:
  bool started_ = false;
#ifdef _WIN32
  HANDLE handle_ = nullptr;
#else
  pthread_t thread_{};
#endif
};

}  // namespace kelo::net
