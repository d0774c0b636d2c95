#pragma once
// The socket client's pause after each message, its wait for each connection attempt and
// the receive time-out of its connections. The installer keeps the defaults; the channel's
// tests shorten them to push hundreds of messages through a client, to count its attempts,
// or to let a peer pause across many receive time-outs, in moments.
#include "net/socket_main.h"

namespace kelo::net {

struct ClientTiming {
  int pace_ms = CSocketMain::kPaceMs;
  int connect_wait_ms = 5000;
  // Taken when a connection is made. A time-out only makes the receive thread look at its
  // stop flag; a frame that was cut by it goes on where it stopped.
  int recv_timeout_ms = 10000;
};

ClientTiming GetClientTiming();
void SetClientTiming(const ClientTiming& timing);

}  // namespace kelo::net
