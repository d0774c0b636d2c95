// Winsock 2.2 and Win32 threads under the message channel.
#include "net/platform.h"

#include <process.h>

#include <climits>
#include <new>

namespace kelo::net {

bool StartSocketLibrary() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != LOBYTE(data.wVersion)) {
    WSACleanup();
    return false;
  }
  return true;
}

void ReleaseSocketLibrary() { WSACleanup(); }

Socket OpenTcpSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kNoSocket;
  // Child processes of the user's program must not inherit the connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

void CloseSocket(Socket s) {
  if (s != kNoSocket) closesocket(s);
}

void AbortSocket(Socket s) {
  if (s == kNoSocket) return;
  // A shut-down socket fails every new call at once; the calls already blocked on it
  // (up to their time-out) need cancelling.
  shutdown(s, SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

bool SetClientOptions(Socket s, int recv_timeout_ms) {
  int buffer = 65536;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
  DWORD send_timeout = 10000;
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_timeout), sizeof send_timeout);
  DWORD recv_timeout = static_cast<DWORD>(recv_timeout_ms);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&recv_timeout), sizeof recv_timeout);
  BOOL on = TRUE;
  return setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool SetNonBlocking(Socket s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

bool ConnectWithin(Socket s, uint32_t address_be, uint16_t port, int timeout_ms) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address_be;
  to.sin_port = htons(port);
  if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
  // Winsock marks a connection writable only once it is established; a failed attempt
  // shows in the error set, which is not watched, so it ends in the time-out.
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(s, &writable);
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (select(0, nullptr, &writable, nullptr, &wait) != 1) return false;
  int error = 0;
  int size = sizeof error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) return false;
  return error == 0;
}

int SendSome(Socket s, const char* data, int n) {
  int sent = send(s, data, n, 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

int RecvSome(Socket s, char* data, int n) {
  // The wait happens before recv, never inside it: Winsock leaves a socket whose recv timed
  // out in an undefined state, where bytes may be lost, and an idle peer makes that happen
  // at every time-out. The wait is cut into short slices, each ending as a time-out, so that
  // the caller sees a stop soon whether or not a shut-down socket wakes a waiting select.
  // Once the socket is readable recv returns at once; a time-out it still reports is the
  // connection's own failure (keep-alive).
  constexpr DWORD kSliceMs = 100;
  DWORD timeout_ms = 0;
  int size = sizeof timeout_ms;
  if (getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout_ms), &size) != 0) return -1;
  if (timeout_ms == 0 || timeout_ms > kSliceMs) timeout_ms = kSliceMs;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{0, static_cast<long>(timeout_ms) * 1000};
  const int ready = select(0, &readable, nullptr, nullptr, &wait);
  if (ready == 0) return kRecvTimedOut;
  if (ready == SOCKET_ERROR) return -1;
  const int got = recv(s, data, n, 0);
  return got == SOCKET_ERROR ? -1 : got;
}

std::string HostBytes(const std::wstring& host) {
  if (host.empty()) return std::string();
  int size = WideCharToMultiByte(CP_ACP, 0, host.c_str(), static_cast<int>(host.size()), nullptr, 0,
                                 nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, host.c_str(), static_cast<int>(host.size()), &out[0], size, nullptr,
                      nullptr);
  return out;
}

bool ResolveByName(const char* name, uint32_t* address_be) {
  const hostent* answer = gethostbyname(name);
  if (!answer || answer->h_addrtype != AF_INET || !answer->h_addr_list || !answer->h_addr_list[0])
    return false;
  CopyMemory(address_be, answer->h_addr_list[0], 4);
  return true;
}

uint32_t ParseAddress(const char* text) { return inet_addr(text); }

void SleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

void FatalExit() { ExitProcess(static_cast<UINT>(-1)); }

Lock::Lock() { InitializeCriticalSection(&cs_); }
Lock::~Lock() { DeleteCriticalSection(&cs_); }
void Lock::Acquire() { EnterCriticalSection(&cs_); }
void Lock::Release() { LeaveCriticalSection(&cs_); }

Semaphore::~Semaphore() {
  if (handle_) CloseHandle(handle_);
}

bool Semaphore::Create(long initial, long maximum) {
  handle_ = CreateSemaphoreW(nullptr, initial, maximum, nullptr);
  return handle_ != nullptr;
}

void Semaphore::Wait() { WaitForSingleObject(handle_, INFINITE); }

bool Semaphore::TryWait() { return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

bool Semaphore::Post() { return ReleaseSemaphore(handle_, 1, nullptr) != FALSE; }

Event::Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

Event::~Event() {
  if (handle_) CloseHandle(handle_);
}

void Event::Set() {
  if (handle_) SetEvent(handle_);
}

bool Event::WaitFor(int timeout_ms) {
  // Without an event the pause still happens, it just cannot be cut short.
  if (!handle_) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return false;
  }
  return WaitForSingleObject(handle_, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

namespace {

struct StartBlock {
  Thread::Routine routine;
  void* arg;
};

unsigned __stdcall ThreadMain(void* p) {
  StartBlock block = *static_cast<StartBlock*>(p);
  delete static_cast<StartBlock*>(p);
  return static_cast<unsigned>(block.routine(block.arg));
}

}  // namespace

Thread::~Thread() {
  if (started_) Detach();
}

bool Thread::Start(Routine routine, void* arg) {
  auto* block = new (std::nothrow) StartBlock{routine, arg};
  if (!block) return false;
  uintptr_t h = _beginthreadex(nullptr, 0, ThreadMain, block, 0, nullptr);
  if (!h) {
    delete block;
    return false;
  }
  handle_ = reinterpret_cast<HANDLE>(h);
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  WaitForSingleObject(handle_, INFINITE);
  CloseHandle(handle_);
  handle_ = nullptr;
  started_ = false;
}

void Thread::Detach() {
  if (!started_) return;
  CloseHandle(handle_);
  handle_ = nullptr;
  started_ = false;
}

}  // namespace kelo::net
