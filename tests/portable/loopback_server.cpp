#include "loopback_server.h"

#include <algorithm>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kelo::test {
namespace {

#ifdef _WIN32
const RawSocket kNone = INVALID_SOCKET;
void CloseRaw(RawSocket s) {
  if (s != kNone) closesocket(s);
}
struct WinsockUser {
  WinsockUser() {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  }
  ~WinsockUser() { WSACleanup(); }
};
WinsockUser winsock;
#else
const RawSocket kNone = -1;
void CloseRaw(RawSocket s) {
  if (s != kNone) close(s);
}
#endif

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

uint16_t BoundPort(RawSocket s) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  return ntohs(a.sin_port);
}

}  // namespace

LoopbackServer::LoopbackServer() : listener_(kNone), client_(kNone) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (listener_ == kNone || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener_, 4) != 0) {
    CloseRaw(listener_);
    listener_ = kNone;
    return;
  }
  port_ = BoundPort(listener_);
}

LoopbackServer::~LoopbackServer() {
  CloseRaw(client_);
  CloseRaw(listener_);
}

bool LoopbackServer::IsListening() const { return listener_ != kNone; }

bool LoopbackServer::WaitReadable(RawSocket s, int timeout_ms) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &wait) == 1;
#else
  pollfd p{s, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
#endif
}

bool LoopbackServer::Accept(int timeout_ms) {
  if (listener_ == kNone || !WaitReadable(listener_, timeout_ms)) return false;
  CloseRaw(client_);
  client_ = accept(listener_, nullptr, nullptr);
  return client_ != kNone;
}

bool LoopbackServer::Send(const Bytes& bytes) { return SendInPieces(bytes, bytes.size(), 0); }

bool LoopbackServer::SendInPieces(const Bytes& bytes, size_t piece, int gap_ms) {
  size_t at = 0;
  while (at < bytes.size()) {
    size_t n = bytes.size() - at < piece ? bytes.size() - at : piece;
#ifdef _WIN32
    int sent = send(client_, reinterpret_cast<const char*>(bytes.data() + at), static_cast<int>(n), 0);
#else
    int sent = static_cast<int>(send(client_, bytes.data() + at, n, MSG_NOSIGNAL));
#endif
    if (sent <= 0) return false;
    at += static_cast<size_t>(sent);
    // Spreading the bytes over time is the point here, not waiting for anything.
    if (gap_ms > 0 && at < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
  }
  return true;
}

bool LoopbackServer::Read(size_t n, Bytes* out, int timeout_ms) {
  out->clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[4096];
  while (out->size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(client_, static_cast<int>(left.count()))) return false;
    size_t want = n - out->size() < sizeof chunk ? n - out->size() : sizeof chunk;
    int got = static_cast<int>(recv(client_, chunk, static_cast<int>(want), 0));
    if (got <= 0) return false;
    out->insert(out->end(), chunk, chunk + got);
  }
  return true;
}

bool LoopbackServer::PeerClosedWithin(int timeout_ms, Bytes* trailing) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !WaitReadable(client_, static_cast<int>(left.count()))) return false;
    const int got = static_cast<int>(recv(client_, chunk, sizeof chunk, 0));
    if (got <= 0) return true;
    if (trailing) trailing->insert(trailing->end(), chunk, chunk + got);
  }
}

void LoopbackServer::Reset() {
  linger hard{1, 0};
  setsockopt(client_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  CloseRaw(client_);
  client_ = kNone;
}

void LoopbackServer::CloseListener() {
  CloseRaw(listener_);
  listener_ = kNone;
}

uint16_t ClosedLoopbackPort() {
  RawSocket s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  uint16_t port = BoundPort(s);
  CloseRaw(s);
  return port;
}

UnansweredPort::UnansweredPort() : listener_(kNone), filler_(kNone) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  if (listener_ == kNone || bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listener_, 0) != 0)
    return;
  port_ = BoundPort(listener_);
  filler_ = socket(AF_INET, SOCK_STREAM, 0);
  a = Loopback(port_);
  if (filler_ != kNone && connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    CloseRaw(filler_);
    filler_ = kNone;
  }
}

UnansweredPort::~UnansweredPort() {
  CloseRaw(filler_);
  CloseRaw(listener_);
}

long OpenHandleCount() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return static_cast<long>(count);
#else
  long count = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++count;
    closedir(d);
  }
  return count;
#endif
}

Bytes Frame(unsigned id, const Bytes& body) {
  const unsigned total = static_cast<unsigned>(body.size()) + 8;
  Bytes f(8 + body.size());
  f[4] = static_cast<unsigned char>(id >> 8);
  f[5] = static_cast<unsigned char>(id);
  f[6] = static_cast<unsigned char>(total >> 8);
  f[7] = static_cast<unsigned char>(total);
  std::copy(body.begin(), body.end(), f.begin() + 8);
  return f;
}

}  // namespace kelo::test
