#include "net/socket_main.h"

#include <atomic>
#include <cstring>
#include <new>

#include "net/client_timing.h"
#include "net/frame.h"
#include "net/host.h"

using kelo::net::kNoSocket;
using kelo::net::LoadShared;
using kelo::net::Socket;
using kelo::net::StoreShared;

namespace {

constexpr int kConnectAttempts = 3;

std::atomic<int> g_pace_ms{kelo::net::ClientTiming{}.pace_ms};
std::atomic<int> g_connect_wait_ms{kelo::net::ClientTiming{}.connect_wait_ms};
std::atomic<int> g_recv_timeout_ms{kelo::net::ClientTiming{}.recv_timeout_ms};

// The client and loop the calling thread was started for. The loops run there only: a
// second reader or writer on the socket would split frames between them, and Stop joins
// and frees just the client's own threads.
struct WorkerOf {
  const void* client = nullptr;
  bool sends = false;
};
thread_local WorkerOf t_worker;

int SendThreadMain(void* client) {
  t_worker = {client, true};
  return static_cast<CSocketMain*>(client)->RunSendThread();
}
int RecvThreadMain(void* client) {
  t_worker = {client, false};
  return static_cast<CSocketMain*>(client)->RunRecvThread();
}

}  // namespace

SocketLink::SocketLink()
    : address(0), port(0), socket(kNoSocket), libraryStarted(kelo::net::StartSocketLibrary()) {}

CSocketMain::CSocketMain()
    : sock(kNoSocket),
      watchFailsKind2(0),
      watchFailsOther(0),
      watchKind(0),
      port(0),
      sendThread(nullptr),
      recvThread(nullptr),
      link(nullptr) {}

CSocketMain::~CSocketMain() {
  Stop();
  // Users still waiting in RecvMsg (or SendMsg's queue) must be out before the queues go.
  recvQueue.Close();
  sendQueue.Close();
}

int CSocketMain::Init(const wchar_t* newHost, unsigned int newPort) {
  host = newHost ? newHost : L"";
  port = newPort;
  return 1;
}

int CSocketMain::Start() {
  // A second Start on a running client would orphan its threads and socket.
  if (LoadShared(&sock) != kNoSocket || sendThread || recvThread) return 0;
  int result = 1;
  // What a failed Start left behind (its link holds a socket-library start) goes first.
  if (link) {
    if (link->libraryStarted) kelo::net::ReleaseSocketLibrary();
    delete link;
    link = nullptr;
  }
  link = new (std::nothrow) SocketLink;
  if (!link) return 0;
  uint32_t address = 0;
  if (!kelo::net::ResolveHost(host, &address)) return 0;

  bool connected = false;
  for (int attempt = 0; attempt < kConnectAttempts && !connected; ++attempt) {
    Socket s = kelo::net::OpenTcpSocket();
    StoreShared(&sock, s);
    link->address = address;
    link->port = port;
    link->socket = s;
    connected = Connect(address);
    if (!connected) {
      kelo::net::CloseSocket(s);
      StoreShared(&sock, kNoSocket);
      link->socket = kNoSocket;
    }
  }
  if (!connected) {
    // A RecvMsg or a send-queue taker that came in while an attempt's socket was published
    // would otherwise wait for a client that never ran.
    recvQueue.Wake();
    sendQueue.Wake();
    return 0;
  }

  // Each record is in its field before its thread runs: the thread finds its pause
  // through it.
  struct {
    WorkerThread** field;
    int (*routine)(void*);
  } const workers[] = {{&sendThread, SendThreadMain}, {&recvThread, RecvThreadMain}};
  for (const auto& w : workers) {
    WorkerThread* worker = new (std::nothrow) WorkerThread;
    if (!worker) {
      result = 0;
      continue;
    }
    worker->routine = w.routine;
    worker->client = this;
    *w.field = worker;
    if (!worker->thread.Start(w.routine, this)) kelo::net::FatalExit();
  }
  return result;
}

// The connection procedure on the link's socket. On failure the caller closes the socket,
// once.
bool CSocketMain::Connect(uint32_t address) {
  const Socket s = link->socket;
  if (s == kNoSocket) return false;
  if (!kelo::net::SetClientOptions(s, g_recv_timeout_ms.load())) return false;
  kelo::net::SetNonBlocking(s, true);
  if (!kelo::net::ConnectWithin(s, address, static_cast<uint16_t>(link->port), g_connect_wait_ms.load()))
    return false;
  kelo::net::SetNonBlocking(s, false);
  return true;
}

void CSocketMain::Stop() {
  // The socket is shut down, not closed, while the workers may still use it: that ends
  // their blocking calls, and the handle cannot be reused under them.
  const Socket s = LoadShared(&sock);
  if (s != kNoSocket) {
    kelo::net::AbortSocket(s);
    StoreShared(&sock, kNoSocket);
  }
  if (sendThread) sendThread->stop.Set();
  if (recvThread) recvThread->stop.Set();
  sendQueue.Wake();
  recvQueue.Wake();
  EndWorker(&sendThread);
  EndWorker(&recvThread);
  kelo::net::CloseSocket(s);
  if (link) {
    link->address = 0;
    link->port = 0;
    link->socket = kNoSocket;
    if (link->libraryStarted) kelo::net::ReleaseSocketLibrary();
    delete link;
    link = nullptr;
  }
  host.clear();
  port = 0;
}

void CSocketMain::EndWorker(WorkerThread** worker) {
  if (!*worker) return;
  // Never the calling thread: the workers run only their loops, which do not stop the client.
  (*worker)->thread.Join();
  delete *worker;
  *worker = nullptr;
}

int CSocketMain::SendMsg(int length, const char* data, unsigned int id) {
  if (!data) return 0;
  QueuedMsg msg;
  msg.id = id;
  msg.length = static_cast<unsigned short>(length);
  if (msg.length > QueuedMsg::kMaxData) return 0;
  std::memcpy(msg.data, data, msg.length);
  sendQueue.Append(msg);
  return 1;
}

int CSocketMain::RecvMsg(unsigned int* id, unsigned short* length, char* data) {
  QueuedMsg msg;
  // A client that is not running hands over what it received, but waits for nothing new:
  // that wait would never end.
  if (!recvQueue.Take(&msg, IsStopped, this, /*queued_when_stopped=*/true) || msg.id == 0) return 0;
  if (id) *id = msg.id;
  if (length) *length = msg.length;
  if (data) std::memcpy(data, msg.data, msg.length);
  return 1;
}

bool CSocketMain::IsStopped(const void* client) {
  return LoadShared(&static_cast<const CSocketMain*>(client)->sock) == kNoSocket;
}

void CSocketMain::Pause(WorkerThread* self) {
  const int pace_ms = g_pace_ms.load();
  if (self) {
    self->stop.WaitFor(pace_ms);
  } else {
    kelo::net::SleepMs(pace_ms);
  }
}

bool CSocketMain::SendAll(const QueuedMsg& msg) {
  const Socket s = link ? LoadShared(&link->socket) : kNoSocket;
  if (s == kNoSocket) return false;
  for (int sent = 0; sent < msg.length;) {
    int n = kelo::net::SendSome(s, msg.data + sent, msg.length - sent);
    if (n <= 0) {
      // The connection is finished for every later send and for the receive thread; the
      // handle itself is closed once, by Stop.
      kelo::net::AbortSocket(s);
      StoreShared(&link->socket, kNoSocket);
      return false;
    }
    sent += n;
  }
  return true;
}

int CSocketMain::RunSendThread() {
  if (t_worker.client != this || !t_worker.sends || LoadShared(&sock) == kNoSocket) return 0;
  int result = 0;
  QueuedMsg msg;
  do {
    if (!sendQueue.Take(&msg, IsStopped, this)) continue;
    if (msg.length != 0) {
      const bool ok = SendAll(msg);
      result = ok ? 1 : 0;
      if (msg.id == kWatchedMsgId) {
        int* counter = LoadShared(&watchKind) == 2 ? &watchFailsKind2 : &watchFailsOther;
        StoreShared(counter, ok ? 0 : LoadShared(counter) + 1);
      }
      StoreShared(&watchKind, 0);
    }
    Pause(sendThread);
  } while (LoadShared(&sock) != kNoSocket);
  return result;
}

int CSocketMain::RunRecvThread() {
  if (t_worker.client != this || t_worker.sends || LoadShared(&sock) == kNoSocket) return 0;
  do {
    MsgPacket header;
    MsgPacket body;
    const Socket s = link ? LoadShared(&link->socket) : kNoSocket;
    if (s != kNoSocket) {
      // A time-out is a peer that pauses, not a broken stream: dropping what this frame has
      // given so far would make the rest of its body the next header. Only a closed or
      // failed connection, or the client stopping, ends a frame part-way.
      auto read_exact = [this, s](char* dst, unsigned n) {
        for (unsigned got = 0; got < n;) {
          int r = kelo::net::RecvSome(s, dst + got, static_cast<int>(n - got));
          if (r == kelo::net::kRecvTimedOut) {
            if (LoadShared(&sock) == kNoSocket || LoadShared(&link->socket) == kNoSocket) return false;
            continue;
          }
          if (r <= 0) return false;
          got += static_cast<unsigned>(r);
        }
        return true;
      };
      QueuedMsg record;
      if (kelo::net::ReadFrame(read_exact, &header, &body, &record) == kelo::net::FrameResult::kMessage)
        recvQueue.Append(record);
    }
    Pause(recvThread);
  } while (LoadShared(&sock) != kNoSocket);
  return 0;
}

namespace kelo::net {

ClientTiming GetClientTiming() {
  return ClientTiming{g_pace_ms.load(), g_connect_wait_ms.load(), g_recv_timeout_ms.load()};
}

void SetClientTiming(const ClientTiming& timing) {
  g_pace_ms = timing.pace_ms;
  g_connect_wait_ms = timing.connect_wait_ms;
  g_recv_timeout_ms = timing.recv_timeout_ms;
}

}  // namespace kelo::net
