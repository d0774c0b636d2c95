#pragma once
// The message channel's TCP client. Users queue outgoing messages with SendMsg and take
// incoming ones with RecvMsg; a send thread and a receive thread move them between the
// queues and the socket, each pausing 100 ms after every message. Outgoing data goes out
// as given; incoming data is framed by an 8-byte header of four big-endian 16-bit fields
// (two unused, the message id, the total length with the header).
#include <string>

#include "net/msg_queue.h"
#include "net/net_export.h"
#include "net/platform.h"

class CSocketMain;

// A worker thread of the client and what Stop needs to end it.
struct WorkerThread {
  kelo::net::Thread thread;
  int (*routine)(void* client);
  CSocketMain* client;
  // Cuts the pause after each message short when the client stops.
  kelo::net::Event stop;
};

// The connection: the server's IPv4 address (network order), its port and the socket.
// Building one starts the socket library; releasing that is up to the owner.
struct SocketLink {
  SocketLink();
  uint32_t address;
  unsigned int port;
  kelo::net::Socket socket;
  bool libraryStarted;
};

class CSocketMain {
 public:
  // The id of the message whose sends the watch counters follow.
  static constexpr unsigned int kWatchedMsgId = 10040;
  static constexpr int kPaceMs = 100;

  KELO_NET_API CSocketMain();
  // Stops, releases every user still waiting in RecvMsg, then drops what is queued.
  KELO_NET_API ~CSocketMain();
  CSocketMain(const CSocketMain&) = delete;
  CSocketMain& operator=(const CSocketMain&) = delete;

  // Stores the server's host text (a null pointer stores none) and port. Always 1.
  KELO_NET_API int Init(const wchar_t* host, unsigned int port);
  // Resolves the host, connects (three attempts of up to 5 s each) and starts both
  // worker threads. 1 on success, 0 on failure; 0 at once while the client is running.
  KELO_NET_API int Start();
  // Ends the connection and both worker threads and forgets host and port. A user
  // waiting in RecvMsg at that moment gets 0. Queued messages stay.
  KELO_NET_API void Stop();
  // Queues a message and returns at once: 1, also when the queue was full and the message
  // dropped; 0 for null data or a length (cut to 16 bits) over 40970 bytes.
  KELO_NET_API int SendMsg(int length, const char* data, unsigned int id);
  // Waits for the next received message. 1 with its id, length and data (room for 40968
  // bytes); 0 when its id was 0, when the client stops during the wait, or at once when
  // it is not running and nothing received is queued.
  KELO_NET_API int RecvMsg(unsigned int* id, unsigned short* length, char* data);
  // The loops of the client's two threads. Called on any other thread they return 0 at
  // once.
  KELO_NET_API int RunSendThread();
  KELO_NET_API int RunRecvThread();

 private:
  kelo::net::Socket sock;

 public:
  // Failed sends of message 10040 in a row, while watchKind was 2 and otherwise. The user
  // sets watchKind before such a send; the send thread clears it after each message.
  int watchFailsKind2;
  int watchFailsOther;
  int watchKind;

 private:
  // The channel's tests look at the receive queue through this.
  friend struct SocketMainProbe;

  static bool IsStopped(const void* client);
  bool Connect(uint32_t address);
  void EndWorker(WorkerThread** worker);
  void Pause(WorkerThread* self);
  bool SendAll(const QueuedMsg& msg);

  std::wstring host;
  unsigned int port;
  MsgQueue sendQueue;
  MsgQueue recvQueue;
  WorkerThread* sendThread;
  WorkerThread* recvThread;
  SocketLink* link;
};
