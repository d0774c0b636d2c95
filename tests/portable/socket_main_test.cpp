// The socket client against a real server on 127.0.0.1: frames in (also across pauses of
// the peer), bytes out, the watch counters of message 10040, failed connections, and
// stopping while its threads block.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>
#endif

#include "loopback_server.h"
#include "net/client_timing.h"
#include "net/host.h"
#include "net/socket_main.h"

// The receive queue of a client, which its users cannot see.
struct SocketMainProbe {
  static int Queued(CSocketMain& client) { return client.recvQueue.Count(); }
  static int Dropped(CSocketMain& client) { return client.recvQueue.Dropped(); }
  static int Receivers(CSocketMain& client) { return client.recvQueue.Takers(); }
  static bool ForgotPeer(const CSocketMain& client) { return client.host.empty() && client.port == 0; }
  // Whether the connection still stands for the send thread (a send that failed ends it).
  static bool Linked(CSocketMain& client) {
    return client.link && kelo::net::LoadShared(&client.link->socket) != kelo::net::kNoSocket;
  }
};

namespace {

using namespace std::chrono_literals;
using kelo::test::Bytes;
using kelo::test::Frame;
using kelo::test::LoopbackServer;
using Clock = std::chrono::steady_clock;

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The send thread writes the watch fields while the test reads them.
int Watch(const int& field) { return __atomic_load_n(&field, __ATOMIC_ACQUIRE); }

struct Received {
  int result = -1;  // -1: RecvMsg did not return in time
  unsigned id = 0;
  unsigned short length = 0;
  Bytes data;
};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// RecvMsg with a bound: a client that never delivers is stopped, which releases the wait.
Received RecvWithin(CSocketMain* client, std::chrono::milliseconds limit = 10s) {
  auto pending = std::async(std::launch::async, [client] {
    Received r;
    std::vector<char> data(40970, '\x5A');
    r.result = client->RecvMsg(&r.id, &r.length, data.data());
    r.data.assign(data.begin(), data.begin() + r.length);
    return r;
  });
  if (pending.wait_for(limit) != std::future_status::ready) {
    client->Stop();
    pending.wait();
    return Received{};
  }
  return pending.get();
}

// Shorter client timings while it lives.
class TimingScope {
 public:
  explicit TimingScope(kelo::net::ClientTiming timing) : saved_(kelo::net::GetClientTiming()) {
    kelo::net::SetClientTiming(timing);
  }
  ~TimingScope() { kelo::net::SetClientTiming(saved_); }

 private:
  kelo::net::ClientTiming saved_;
};

// A client connected to a fresh server.
struct Connected {
  LoopbackServer server;
  std::unique_ptr<CSocketMain> client = std::make_unique<CSocketMain>();

  void Connect() {
    ASSERT_TRUE(server.IsListening());
    ASSERT_EQ(client->Init(L"127.0.0.1", server.Port()), 1);
    ASSERT_EQ(client->Start(), 1);
    ASSERT_TRUE(server.Accept());
  }
};

TEST(SocketHost, MarkersDecideBetweenLookupAndAddress) {
  struct Case {
    const wchar_t* host;
    bool lookup;
  };
  const Case cases[] = {
      {L"www.kelogame.cn", true},
      {L"chat.example.com", true},
      {L"a.network.example", true},  // ".net" in the middle still counts
      {L"cdn.cnx.example", true},    // and so does ".cn" inside a label
      {L"host.example.org", false},
      {L"127.0.0.1", false},
      {L"WWW.EXAMPLE.COM", false},  // the test is case-sensitive
      {L"com.example", false},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(kelo::net::IsLookupName(c.host), c.lookup) << std::string(c.host, c.host + wcslen(c.host));

  struct Address {
    const wchar_t* host;
    unsigned char bytes[4];
  };
  const Address addresses[] = {
      {L"127.0.0.1", {127, 0, 0, 1}},
      {L"10.20.30.40", {10, 20, 30, 40}},
      {L"host.example.org", {255, 255, 255, 255}},  // does not parse: no lookup either
      {L"not an address", {255, 255, 255, 255}},
  };
  for (const Address& a : addresses) {
    uint32_t address = 0;
    EXPECT_TRUE(kelo::net::ResolveHost(a.host, &address));
    EXPECT_EQ(std::memcmp(&address, a.bytes, 4), 0) << std::string(a.host, a.host + wcslen(a.host));
  }
}

TEST(SocketMain, DeliversAFrameAsIdLengthAndData) {
  Connected c;
  c.Connect();
  ASSERT_TRUE(c.server.Send({0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x0C, 0x01, 0x02, 0x03, 0x04}));
  Received r = RecvWithin(c.client.get());
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.length, 4);
  EXPECT_EQ(r.data, (Bytes{1, 2, 3, 4}));
}

// Each thread rests 100 ms after each message it sends or receives, so a peer meets about
// ten a second either way. Only the least time is checked, from before the first message
// went: a busy machine only adds.
TEST(SocketMain, PacesEveryMessageEachWay) {
  Connected c;
  c.Connect();
  using Clock = std::chrono::steady_clock;
  const Clock::time_point sending = Clock::now();
  for (const char* text : {"a", "b", "c", "d"}) ASSERT_EQ(c.client->SendMsg(1, text, 9), 1);
  Bytes got;
  ASSERT_TRUE(c.server.Read(4, &got));
  EXPECT_GE(Clock::now() - sending, 280ms) << "three sends after the first came without their pauses";

  const Bytes frame = {0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x09, 0x42};
  Bytes frames;
  for (int i = 0; i < 4; ++i) frames.insert(frames.end(), frame.begin(), frame.end());
  const Clock::time_point receiving = Clock::now();
  ASSERT_TRUE(c.server.Send(frames));
  for (int i = 0; i < 4; ++i) ASSERT_EQ(RecvWithin(c.client.get()).result, 1);
  EXPECT_GE(Clock::now() - receiving, 280ms) << "three frames after the first came without their pauses";
}

#ifndef _WIN32
// Descriptors held open until the test ends.
struct OpenFiles {
  ~OpenFiles() {
    for (int fd : fds) close(fd);
  }
  std::vector<int> fds;
};

// A process with many files open gives the client's socket a descriptor beyond what an
// fd_set holds: it still connects.
TEST(SocketMain, ConnectsWhenDescriptorsRunHigh) {
  // A desktop's usual soft limit stops at 1024: raised as far as the hard limit allows.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < FD_SETSIZE + 16 && limit.rlim_max >= FD_SETSIZE + 16) {
    limit.rlim_cur = FD_SETSIZE + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  OpenFiles held;
  while (held.fds.empty() || held.fds.back() < FD_SETSIZE) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "the descriptor limit is below " << FD_SETSIZE;
    held.fds.push_back(fd);
  }
  Connected c;
  c.Connect();
  ASSERT_TRUE(c.server.Send({0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x0C, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(RecvWithin(c.client.get()).id, 7u);
}
#endif

TEST(SocketMain, APeerPausingPastTheReceiveTimeOutLosesNoPartOfAFrame) {
  // Receive time-outs of 50 ms, so that each pause of the peer spans several of them.
  TimingScope short_timeout({1, 5000, 50});
  const auto pause = 300ms;
  Connected c;
  c.Connect();
  Bytes body(200);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 13 + 1);
  const Bytes first = Frame(21, {0x21});
  const Bytes cut_header = Frame(22, {0x22, 0x23});
  const Bytes cut_body = Frame(23, body);
  const Bytes overlong = Frame(24, Bytes(40969, 0xEE));  // read and dropped
  const Bytes after = Frame(25, {0x25}) + Frame(26, {0x26, 0x27, 0x28});

  // The pauses are what is under test: between frames, inside a header, inside a body and
  // inside a body too long to keep.
  const Bytes pieces[] = {
      first,
      Bytes(cut_header.begin(), cut_header.begin() + 4),
      Bytes(cut_header.begin() + 4, cut_header.end()) + Bytes(cut_body.begin(), cut_body.begin() + 8 + 77),
      Bytes(cut_body.begin() + 8 + 77, cut_body.end()) + Bytes(overlong.begin(), overlong.begin() + 20000),
      Bytes(overlong.begin() + 20000, overlong.end()) + after,
  };
  for (size_t i = 0; i < std::size(pieces); ++i) {
    if (i > 0) std::this_thread::sleep_for(pause);
    ASSERT_TRUE(c.server.Send(pieces[i])) << "piece " << i;
  }

  const struct {
    unsigned id;
    Bytes data;
  } expected[] = {{21, {0x21}}, {22, {0x22, 0x23}}, {23, body}, {25, {0x25}}, {26, {0x26, 0x27, 0x28}}};
  for (const auto& e : expected) {
    Received r = RecvWithin(c.client.get());
    ASSERT_EQ(r.result, 1) << "message " << e.id;
    EXPECT_EQ(r.id, e.id);
    EXPECT_EQ(r.data, e.data) << "message " << e.id;
  }
  EXPECT_EQ(SocketMainProbe::Queued(*c.client), 0) << "nothing more than was sent";
}

TEST(SocketMain, EmptyFramesAndIdZeroAreConsumedAndTheStreamStaysFramed) {
  Connected c;
  c.Connect();
  Bytes stream = {0, 0, 0, 0, 0, 3, 0, 8};  // total 8: header only
  for (const Bytes& f : {Frame(0, {0x42}), Frame(9, {0x0A, 0x0B})}) stream.insert(stream.end(), f.begin(), f.end());
  ASSERT_TRUE(c.server.Send(stream));
  Received zero = RecvWithin(c.client.get());
  EXPECT_EQ(zero.result, 0) << "id 0 is consumed with a result of 0";
  EXPECT_EQ(zero.length, 0) << "and nothing is written";
  Received next = RecvWithin(c.client.get());
  EXPECT_EQ(next.result, 1);
  EXPECT_EQ(next.id, 9u);
  EXPECT_EQ(next.data, (Bytes{0x0A, 0x0B}));
}

TEST(SocketMain, FramesArrivingInPiecesAndOverlongBodiesKeepTheStreamFramed) {
  Connected c;
  c.Connect();
  Bytes body(300);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<unsigned char>(i * 7);
  Bytes largest(40968, 0xC3);
  largest.front() = 1;
  largest.back() = 2;
  Bytes overlong = Frame(4, Bytes(40969, 0xEE));
  Bytes after = Frame(5, {0x55});

  // A header cut in the middle and a body trickling in three bytes at a time.
  ASSERT_TRUE(c.server.SendInPieces(Frame(11, body), 3, 1));
  ASSERT_TRUE(c.server.Send(Frame(12, largest)));
  ASSERT_TRUE(c.server.SendInPieces(overlong, 5000, 1));
  ASSERT_TRUE(c.server.Send(after));

  Received r = RecvWithin(c.client.get());
  EXPECT_EQ(r.id, 11u);
  EXPECT_EQ(r.data, body);
  r = RecvWithin(c.client.get());
  EXPECT_EQ(r.id, 12u);
  EXPECT_EQ(r.length, 40968);
  EXPECT_EQ(r.data, largest);
  r = RecvWithin(c.client.get());
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.id, 5u) << "the body too long for a packet is skipped, not read as headers";
  EXPECT_EQ(r.data, (Bytes{0x55}));
}

TEST(SocketMain, SendsExactlyTheDataBytesInOrder) {
  LoopbackServer server;
  ASSERT_TRUE(server.IsListening());
  auto client = std::make_unique<CSocketMain>();
  // Queued before Start: goes out once the send thread runs.
  EXPECT_EQ(client->SendMsg(5, "early", 1), 1);
  ASSERT_EQ(client->Init(L"127.0.0.1", server.Port()), 1);
  ASSERT_EQ(client->Start(), 1);
  ASSERT_TRUE(server.Accept());

  std::string big(40970, 'b');
  big.back() = 'B';
  std::string too_big(40971, 't');
  EXPECT_EQ(client->SendMsg(3, nullptr, 2), 0);
  EXPECT_EQ(client->SendMsg(40971, too_big.data(), 2), 0) << "longer than a record: refused";
  EXPECT_EQ(client->SendMsg(-1, too_big.data(), 2), 0) << "cut to 16 bits: 65535";
  EXPECT_EQ(client->SendMsg(0, "zero", 3), 1);
  EXPECT_EQ(client->SendMsg(65537, "One", 4), 1);  // cut to 16 bits: one byte
  EXPECT_EQ(client->SendMsg(40970, big.data(), 5), 1);
  EXPECT_EQ(client->SendMsg(3, "end", 6), 1);

  const std::string expected = "early" + std::string("O") + big + "end";
  Bytes got;
  ASSERT_TRUE(server.Read(expected.size(), &got));
  EXPECT_EQ(std::string(got.begin(), got.end()) == expected, true) << "first bytes: "
      << std::string(got.begin(), got.begin() + std::min<size_t>(got.size(), 8));
  client->Stop();
  Bytes trailing;
  EXPECT_TRUE(server.PeerClosedWithin(5000, &trailing));
  EXPECT_TRUE(trailing.empty()) << trailing.size() << " bytes followed";
}

TEST(SocketMain, WatchCountersFollowSendsOfMessage10040) {
  Connected c;
  c.Connect();
  CSocketMain& client = *c.client;

  // A good send with kind 2: the counter stays 0 and the kind is cleared.
  client.watchKind = 2;
  client.SendMsg(5, "hello", 10040);
  Bytes got;
  ASSERT_TRUE(c.server.Read(5, &got));
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchKind) == 0; }));
  EXPECT_EQ(Watch(client.watchFailsKind2), 0);
  EXPECT_EQ(Watch(client.watchFailsOther), 0);

  // The peer resets the connection. The client's end may learn of it a moment later: other
  // messages are sent, one at a time, until one has met it. The next send then fails and
  // counts under kind 2.
  c.server.Reset();
  for (int tries = 0; tries < 50 && SocketMainProbe::Linked(client); ++tries) {
    client.watchKind = 1;
    client.SendMsg(3, "abc", 77);
    ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchKind) == 0; }));
  }
  ASSERT_FALSE(SocketMainProbe::Linked(client)) << "no send met the reset";
  client.watchKind = 2;
  client.SendMsg(5, "hello", 10040);
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchFailsKind2) == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchKind) == 0; }));
  EXPECT_EQ(Watch(client.watchFailsOther), 0);

  // An empty message leaves the kind alone; another id clears it but counts nothing.
  client.watchKind = 2;
  client.SendMsg(0, "", 10040);
  client.SendMsg(5, "hello", 10040);
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchFailsKind2) == 2; }));
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchKind) == 0; }));  // cleared after the count
  client.watchKind = 2;
  client.SendMsg(3, "abc", 77);
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchKind) == 0; }));
  client.SendMsg(5, "hello", 10040);  // kind 0 now
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchFailsOther) == 1; }));
  EXPECT_EQ(Watch(client.watchFailsKind2), 2);

  // Stop leaves the counters; a good send with kind 0 resets only its own counter.
  client.Stop();
  EXPECT_EQ(Watch(client.watchFailsKind2), 2);
  EXPECT_EQ(Watch(client.watchFailsOther), 1);
  ASSERT_EQ(client.Init(L"127.0.0.1", c.server.Port()), 1);
  ASSERT_EQ(client.Start(), 1);
  ASSERT_TRUE(c.server.Accept());
  client.SendMsg(5, "again", 10040);
  ASSERT_TRUE(c.server.Read(5, &got));
  EXPECT_EQ(std::string(got.begin(), got.end()), "again");
  ASSERT_TRUE(WaitUntil([&] { return Watch(client.watchFailsOther) == 0; }));
  EXPECT_EQ(Watch(client.watchFailsKind2), 2);
}

#ifndef _WIN32
void IgnoreSignal(int) {}

// Signals arriving again and again (a profiler's, a timer's) cut each connection wait
// short: the wait goes on for what is left of it, and still ends.
TEST(SocketMain, ConnectionWaitsEndUnderASignalStorm) {
  TimingScope short_wait({CSocketMain::kPaceMs, 300});
  kelo::test::UnansweredPort busy;
  ASSERT_TRUE(busy.IsReady());
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = IgnoreSignal;  // without SA_RESTART, as most handlers are
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  CSocketMain client;
  ASSERT_EQ(client.Init(L"127.0.0.1", busy.Port()), 1);
  std::atomic<bool> done{false};
  const pthread_t starter = pthread_self();
  // Ten seconds at most: a wait that starts afresh at every signal would end only then.
  std::thread storm([&] {
    for (const auto until = Clock::now() + 10s; !done && Clock::now() < until;) {
      pthread_kill(starter, SIGUSR1);
      std::this_thread::sleep_for(1ms);
    }
  });
  const auto start = Clock::now();
  EXPECT_EQ(client.Start(), 0);
  const auto took = Clock::now() - start;
  done = true;
  storm.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_LT(took, 5s) << "the waits started afresh at every signal";
  // Three attempts of 300 ms, each timed to the millisecond: one a signal ended at once
  // would make this far shorter.
  EXPECT_GE(took, 850ms) << "a signal ended a connection wait: "
                         << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}
#endif

TEST(SocketMain, ConnectionAttemptsThatFailEndInZero) {
  // Each attempt waits one second here instead of five.
  TimingScope short_wait({CSocketMain::kPaceMs, 1000});
  auto client = std::make_unique<CSocketMain>();
  {
    // A server that never answers: each of the three attempts runs into its wait, of two
    // seconds here, so that a fourth attempt stands out from a slow machine's delays.
    TimingScope longer_wait({CSocketMain::kPaceMs, 2000});
    kelo::test::UnansweredPort busy;
    ASSERT_TRUE(busy.IsReady());
    ASSERT_EQ(client->Init(L"127.0.0.1", busy.Port()), 1);
    const auto start = Clock::now();
    auto starting = std::async(std::launch::async, [&] { return client->Start(); });
    // A user calling RecvMsg while an attempt runs comes to wait for a message; the failed
    // Start must let it go.
    std::atomic<bool> started{false};
    auto receiver = std::async(std::launch::async, [&] {
      int result = 0;
      while (!started && result == 0) result = RecvWithin(client.get()).result;
      return result;
    });
    EXPECT_TRUE(WaitUntil([&] { return SocketMainProbe::Receivers(*client) == 1; }))
        << "no receiver came to wait during the attempts";
    EXPECT_EQ(starting.get(), 0);
    const auto took = Clock::now() - start;
    started = true;
    EXPECT_GE(took, 6s) << "fewer than three attempts";
    EXPECT_LT(took, 7500ms) << "more than three attempts";
    ASSERT_EQ(receiver.wait_for(5s), std::future_status::ready) << "RecvMsg still waits after the failed Start";
    EXPECT_EQ(receiver.get(), 0);
  }

  // Nothing listens on this port: every attempt is refused.
  ASSERT_EQ(client->Init(L"127.0.0.1", kelo::test::ClosedLoopbackPort()), 1);
  const auto start = Clock::now();
  EXPECT_EQ(client->Start(), 0);
  const auto took = Clock::now() - start;
#ifdef _WIN32
  // Winsock shows a refused attempt only in the error set, which the wait does not
  // watch: each of the three attempts runs into its limit.
  EXPECT_GE(took, 3s);
#else
  // Here a refused attempt wakes the wait and its pending error fails it at once.
  EXPECT_LT(took, 1s);
#endif
  // What the failed Starts left behind does not stand in the way of a good one.
  LoopbackServer server;
  ASSERT_EQ(client->Init(L"127.0.0.1", server.Port()), 1);
  ASSERT_EQ(client->Start(), 1);
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(server.Send(Frame(3, {9})));
  EXPECT_EQ(RecvWithin(client.get()).id, 3u);
}

TEST(SocketMain, ReceiveQueueHolds512MessagesAndDropsTheNext) {
  TimingScope fast({1, 5000});  // a pause of 1 ms instead of 100 after each message
  Connected c;
  c.Connect();
  Bytes frames;
  for (unsigned id = 1; id <= 513; ++id) {
    const Bytes frame = Frame(id, {static_cast<unsigned char>(id)});
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(c.server.Send(frames));
  ASSERT_TRUE(WaitUntil([&] { return SocketMainProbe::Dropped(*c.client) == 1; }, 60s)) << "nothing was dropped";
  EXPECT_EQ(SocketMainProbe::Queued(*c.client), 512);

  // A freed place takes the next message again; the dropped one is gone for good.
  EXPECT_EQ(RecvWithin(c.client.get()).id, 1u);
  ASSERT_TRUE(c.server.Send(Frame(514, {2})));
  ASSERT_TRUE(WaitUntil([&] { return SocketMainProbe::Queued(*c.client) == 512; }));
  for (unsigned id = 2; id <= 512; ++id) ASSERT_EQ(RecvWithin(c.client.get()).id, id);
  EXPECT_EQ(RecvWithin(c.client.get()).id, 514u);
  EXPECT_EQ(SocketMainProbe::Dropped(*c.client), 1);
}

TEST(SocketMain, StopForgetsHostAndPortAndStartRefusesWhileRunning) {
  Connected c;
  c.Connect();
  EXPECT_EQ(c.client->Start(), 0) << "already running";
  c.client->Stop();
  EXPECT_TRUE(c.server.PeerClosedWithin(5000));
  // Without a new Init the client has an empty host and port 0: nothing to connect to.
  EXPECT_TRUE(SocketMainProbe::ForgotPeer(*c.client));
  EXPECT_EQ(c.client->Start(), 0);
  EXPECT_FALSE(c.server.Accept(200));
  // RecvMsg on a client that is not running returns at once.
  EXPECT_EQ(RecvWithin(c.client.get(), 5s).result, 0);
}

// Stop keeps what was received: a stopped client still hands it over, in order, and then
// returns at once.
TEST(SocketMain, AStoppedClientHandsOverWhatItReceived) {
  TimingScope fast({1, 5000});
  Connected c;
  c.Connect();
  ASSERT_TRUE(c.server.Send(Frame(1, {1}) + Frame(2, {2}) + Frame(3, {3})));
  ASSERT_TRUE(WaitUntil([&] { return SocketMainProbe::Queued(*c.client) == 3; }));
  c.client->Stop();
  for (unsigned id = 1; id <= 3; ++id) {
    const Received r = RecvWithin(c.client.get(), 5s);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.data, (Bytes{static_cast<unsigned char>(id)}));
  }
  EXPECT_EQ(RecvWithin(c.client.get(), 5s).result, 0);
}

TEST(SocketMain, StopEndsBlockedThreadsAndReleasesAWaitingReceiverPromptly) {
  // Paced at 1 ms, the receive thread is back in recv (10-second time-outs) or about to be
  // when Stop comes; the send thread waits for a message. (A thread that has sat in recv a
  // while is stopped in DestructionWhileRunningIsPrompt.)
  TimingScope quick({1, kelo::net::ClientTiming{}.connect_wait_ms, kelo::net::ClientTiming{}.recv_timeout_ms});
  Connected c;
  c.Connect();
  auto waiting = std::async(std::launch::async, [&] {
    unsigned id = 0;
    unsigned short length = 0;
    char data[40968];
    return c.client->RecvMsg(&id, &length, data);
  });
  // Let the receive thread reach its recv: the server's frame gets through first.
  ASSERT_TRUE(c.server.Send(Frame(1, {1})));
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 1);
  waiting = std::async(std::launch::async, [&] {
    unsigned id = 0;
    unsigned short length = 0;
    char data[40968];
    return c.client->RecvMsg(&id, &length, data);
  });
  ASSERT_TRUE(WaitUntil([&] { return SocketMainProbe::Receivers(*c.client) == 1; })) << "nobody waits in RecvMsg";

  const auto start = Clock::now();
  c.client->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 0);
  EXPECT_TRUE(c.server.PeerClosedWithin(5000));
}

// The loops are exported, but only the client's own threads run them: a second reader
// would split frames, and Stop would free the socket under it.
TEST(SocketMain, TheThreadLoopsRunOnlyOnTheClientsOwnThreads) {
  Connected c;
  c.Connect();
  for (auto loop : {&CSocketMain::RunRecvThread, &CSocketMain::RunSendThread}) {
    auto outsider = std::async(std::launch::async, [&] { return (c.client.get()->*loop)(); });
    const bool refused = outsider.wait_for(5s) == std::future_status::ready;
    if (!refused) c.client->Stop();  // which ends the outsider's loop too
    EXPECT_EQ(outsider.get(), 0);
    ASSERT_TRUE(refused) << "another thread ran the client's loop";
  }
  ASSERT_TRUE(c.server.Send(Frame(7, {1, 2, 3})));
  const Received r = RecvWithin(c.client.get(), 5s);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.data, (Bytes{1, 2, 3}));
}

TEST(SocketMain, DestructionWhileRunningIsPrompt) {
  Connected c;
  c.Connect();
  c.client->SendMsg(4, "ping", 1);
  Bytes got;
  ASSERT_TRUE(c.server.Read(4, &got));
  const auto start = Clock::now();
  c.client.reset();
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(c.server.PeerClosedWithin(5000));
}

TEST(SocketMain, ClientKeepsRunningAfterThePeerLeavesUntilStopped) {
  Connected c;
  c.Connect();
  c.server.Reset();  // the receive thread now polls a dead connection every 100 ms
  EXPECT_EQ(c.client->SendMsg(3, "abc", 1), 1);
  // Its send thread still takes messages and counts their failures.
  c.client->SendMsg(5, "hello", 10040);
  c.client->SendMsg(5, "hello", 10040);
  EXPECT_TRUE(WaitUntil([&] { return Watch(c.client->watchFailsOther) == 2; }));
  EXPECT_EQ(c.client->Start(), 0) << "still running";
  const auto start = Clock::now();
  c.client->Stop();
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(SocketMain, StartStopCyclesLeaveNothingBehind) {
  LoopbackServer server;
  ASSERT_TRUE(server.IsListening());
  auto cycle = [&](bool destroy) {
    auto client = std::make_unique<CSocketMain>();
    ASSERT_EQ(client->Init(L"127.0.0.1", server.Port()), 1);
    ASSERT_EQ(client->Start(), 1);
    ASSERT_TRUE(server.Accept());
    client->SendMsg(1, "x", 1);
    if (!destroy) client->Stop();
    client.reset();
    ASSERT_TRUE(server.PeerClosedWithin(5000));
  };
  cycle(false);  // the first use of the socket library keeps some handles for good
  const long before = kelo::test::OpenHandleCount();
  for (int i = 0; i < 10; ++i) cycle(i % 2 == 0);

  // One client through several cycles of its own.
  auto client = std::make_unique<CSocketMain>();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(client->Init(L"127.0.0.1", server.Port()), 1);
    ASSERT_EQ(client->Start(), 1);
    ASSERT_TRUE(server.Accept());
    client->Stop();
    ASSERT_TRUE(server.PeerClosedWithin(5000));
  }
  client.reset();
  EXPECT_EQ(kelo::test::OpenHandleCount(), before);
}

}  // namespace
