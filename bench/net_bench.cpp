// Throughput and latency of the socket client over loopback, against baselines measured in
// the same run: the raw socket path without any client, and the bare 100 ms pause. It shows
// that the pause after each message, not the client's own work, sets the pace.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.h"
#include "median.h"
#include "net/platform.h"
#include "net/socket_main.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using kelo::test::Bytes;
using kelo::test::Frame;
using kelo::bench::Median;
using kelo::test::LoopbackServer;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}


std::vector<double> Intervals(const std::vector<Clock::time_point>& t) {
  std::vector<double> out;
  for (size_t i = 1; i < t.size(); ++i) out.push_back(Ms(t[i] - t[i - 1]));
  return out;
}

// A plain client socket connected to the server, for the raw baseline.
int RawConnect(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return s;
}

bool RawReadExactly(int s, char* dst, size_t n) {
  for (size_t got = 0; got < n;) {
    ssize_t r = recv(s, dst + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

// Ends the run, said, when the loopback connection fails: a measure taken over a dropped
// connection would be no measure, and a receive would wait for ever.
void Need(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "net_bench: %s failed\n", what);
  std::_Exit(1);
}

int main() {
  // A bound on the whole run, which takes about 10 s.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::minutes(2));
    Need(false, "the run within 2 minutes");
  }).detach();
  constexpr int kPaced = 20;      // messages through the client each way: about 2 s each
  constexpr int kRaw = 2000;      // frames through the raw baseline
  constexpr int kLatency = 10;    // single-message samples
  const Bytes body(64, 0x5A);
  const Bytes frame = Frame(42, body);

  // Baseline 1: the bare pause, as the worker threads take it.
  std::vector<Clock::time_point> ticks;
  {
    kelo::net::Event never;
    ticks.push_back(Clock::now());
    for (int i = 0; i < kPaced; ++i) {
      never.WaitFor(CSocketMain::kPaceMs);
      ticks.push_back(Clock::now());
    }
  }
  const double pause_ms = Mean(Intervals(ticks));

  // Baseline 2: frames through a raw loopback socket, no client, no pause.
  double raw_us = 0, raw_latency_us = 0;
  {
    LoopbackServer server;
    int s = RawConnect(server.Port());
    Need(s >= 0 && server.Accept(), "connecting the raw socket");
    std::vector<char> buf(frame.size());
    Bytes all;
    for (int i = 0; i < kRaw; ++i) all.insert(all.end(), frame.begin(), frame.end());
    auto sender = std::async(std::launch::async, [&] { return server.Send(all); });
    const auto start = Clock::now();
    for (int i = 0; i < kRaw; ++i) Need(RawReadExactly(s, buf.data(), buf.size()), "reading a raw frame");
    raw_us = Us(Clock::now() - start) / kRaw;
    Need(sender.get(), "sending the raw frames");
    std::vector<double> lat;
    for (int i = 0; i < kLatency; ++i) {
      const auto t0 = Clock::now();
      Need(server.Send(frame), "sending a raw frame");
      Need(RawReadExactly(s, buf.data(), buf.size()), "reading a raw frame");
      lat.push_back(Us(Clock::now() - t0));
    }
    raw_latency_us = Median(lat);
    close(s);
  }

  // The cost of queueing alone: SendMsg on a client that is not running keeps every message.
  double enqueue_us = 0;
  {
    auto client = std::make_unique<CSocketMain>();
    const auto start = Clock::now();
    for (int i = 0; i < 500; ++i) client->SendMsg(static_cast<int>(body.size()), reinterpret_cast<const char*>(body.data()), 1);
    enqueue_us = Us(Clock::now() - start) / 500;
  }

  LoopbackServer server;
  auto client = std::make_unique<CSocketMain>();
  client->Init(L"127.0.0.1", server.Port());
  if (!client->Start() || !server.Accept()) {
    std::fprintf(stderr, "cannot connect over loopback\n");
    return 1;
  }

  // Receive: the server sends every frame at once; the receive thread paces them.
  std::vector<Clock::time_point> recv_times;
  {
    Bytes all;
    for (int i = 0; i < kPaced; ++i) all.insert(all.end(), frame.begin(), frame.end());
    Need(server.Send(all), "sending the paced frames");
    std::vector<char> data(40968);
    unsigned id;
    unsigned short length;
    for (int i = 0; i < kPaced; ++i) {
      Need(client->RecvMsg(&id, &length, data.data()) == 1, "receiving a paced frame");
      recv_times.push_back(Clock::now());
    }
  }

  // Send: every message queued at once; the send thread paces them.
  std::vector<Clock::time_point> send_times;
  {
    for (int i = 0; i < kPaced; ++i) client->SendMsg(static_cast<int>(body.size()), reinterpret_cast<const char*>(body.data()), 1);
    Bytes got;
    for (int i = 0; i < kPaced; ++i) {
      Need(server.Read(body.size(), &got), "reading a paced message");
      send_times.push_back(Clock::now());
    }
  }

  // Latency of one message through an idle client, each way. The pause after the previous
  // message is let run out first, so only the client's path is timed.
  std::vector<double> recv_latency, send_latency;
  {
    std::vector<char> data(40968);
    unsigned id;
    unsigned short length;
    Bytes got;
    for (int i = 0; i < kLatency; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2 * CSocketMain::kPaceMs));
      auto t0 = Clock::now();
      Need(server.Send(frame), "sending a frame");
      Need(client->RecvMsg(&id, &length, data.data()) == 1, "receiving a frame");
      recv_latency.push_back(Us(Clock::now() - t0));
      t0 = Clock::now();
      client->SendMsg(static_cast<int>(body.size()), reinterpret_cast<const char*>(body.data()), 1);
      Need(server.Read(body.size(), &got), "reading a message");
      send_latency.push_back(Us(Clock::now() - t0));
    }
  }
  client->Stop();

  const double recv_interval = Mean(Intervals(recv_times));
  const double send_interval = Mean(Intervals(send_times));
  // The client's own work per message is its path through an idle client less the raw
  // socket's: the pause adds nothing there.
  const double recv_cost_us = Median(recv_latency) - raw_latency_us;
  const double send_cost_us = Median(send_latency) - raw_latency_us;
  const double recv_rate = 1000.0 / recv_interval, send_rate = 1000.0 / send_interval;
  const double raw_rate = 1e6 / raw_us;

  std::printf("net_bench: %d paced messages each way, 64-byte bodies, loopback\n", kPaced);
  std::printf("  baseline pause        %8.2f ms   (the 100 ms wait alone)\n", pause_ms);
  std::printf("  baseline raw socket   %8.2f us/frame, %.0f frames/s, one-way latency %.1f us\n", raw_us, raw_rate,
              raw_latency_us);
  std::printf("  receive               %8.2f ms/message, %.2f messages/s   interval/pause %.4fx\n", recv_interval,
              recv_rate, recv_interval / pause_ms);
  std::printf("  send                  %8.2f ms/message, %.2f messages/s   interval/pause %.4fx\n", send_interval,
              send_rate, send_interval / pause_ms);
  std::printf("  interval beyond the pause: receive %+.3f ms, send %+.3f ms (jitter of the pause itself)\n",
              recv_interval - pause_ms, send_interval - pause_ms);
  std::printf("  client work per message outside the pause: receive %.1f us, send %.1f us (%.5f and %.5f of the pause)\n",
              recv_cost_us, send_cost_us, recv_cost_us / 1000.0 / pause_ms, send_cost_us / 1000.0 / pause_ms);
  std::printf("  throughput vs raw socket: receive %.5fx, send %.5fx\n", recv_rate / raw_rate, send_rate / raw_rate);
  std::printf("  idle latency: receive %.1f us (%.1fx raw), send %.1f us (%.1fx raw)\n", Median(recv_latency),
              Median(recv_latency) / raw_latency_us, Median(send_latency), Median(send_latency) / raw_latency_us);
  std::printf("  SendMsg queueing cost: %.2f us per call (%.5f of the pause)\n", enqueue_us, enqueue_us / 1000.0 / pause_ms);
  // Intervals shorter than the pause would be a client that does not pace, or a run that
  // measured nothing.
  const bool paced = recv_interval / pause_ms > 0.95 && recv_interval / pause_ms < 1.05 &&
                     send_interval / pause_ms > 0.95 && send_interval / pause_ms < 1.05 && recv_cost_us < 5000 &&
                     send_cost_us < 5000;
  std::printf("  verdict: %s\n", paced ? "the pause sets the pace; the client's own work is a small fraction of it"
                                       : "the client does not keep to the pause within 5%");
  return 0;
}
