#pragma once
// A one-connection TCP server on 127.0.0.1 for the client's tests: it accepts, sends
// frames (whole, in pieces, or slowly) and reads what the client sends, every wait
// bounded. Written on the system's sockets directly, not on the code under test.
#include <cstddef>
#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace kelo::test {

using Bytes = std::vector<unsigned char>;

#ifdef _WIN32
using RawSocket = SOCKET;
#else
using RawSocket = int;
#endif

class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool IsListening() const;
  uint16_t Port() const { return port_; }
  // Accepts one connection (dropping an earlier one) within timeout_ms.
  bool Accept(int timeout_ms = 10000);
  bool Send(const Bytes& bytes);
  // Sends in pieces of `piece` bytes with a gap between them, so the client sees the
  // bytes arrive over several reads.
  bool SendInPieces(const Bytes& bytes, size_t piece, int gap_ms);
  // Exactly n bytes within timeout_ms.
  bool Read(size_t n, Bytes* out, int timeout_ms = 10000);
  // True when the client closes its end (or resets it) within timeout_ms; what it sent
  // before goes to `trailing` when given.
  bool PeerClosedWithin(int timeout_ms, Bytes* trailing = nullptr);
  // Ends the connection with a reset, so the client's next send fails.
  void Reset();
  void CloseListener();

 private:
  bool WaitReadable(RawSocket s, int timeout_ms);

  RawSocket listener_;
  RawSocket client_;
  uint16_t port_ = 0;
};

// A port on 127.0.0.1 with nothing listening on it (bound and released again).
uint16_t ClosedLoopbackPort();

// A port on 127.0.0.1 whose server never answers: its one-place queue of connections is
// taken by a connection nobody accepts, so the system drops every further attempt
// unanswered and the connecting side waits.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;
  bool IsReady() const { return filler_ != static_cast<RawSocket>(-1); }
  uint16_t Port() const { return port_; }

 private:
  RawSocket listener_;
  RawSocket filler_;
  uint16_t port_ = 0;
};

// Open handles (Windows) or descriptors (elsewhere) of this process.
long OpenHandleCount();

Bytes Frame(unsigned id, const Bytes& body);

}  // namespace kelo::test
