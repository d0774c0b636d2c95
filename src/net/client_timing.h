#pragma once
// The socket client's pause after each message and its wait for each connection attempt.
// The installer keeps the defaults; the channel's tests shorten them to push hundreds of
// messages through a client, or to count its attempts, in moments.
#include "net/socket_main.h"

namespace kelo::net {

struct ClientTiming {
  int pace_ms = CSocketMain::kPaceMs;
  int connect_wait_ms = 5000;
};

ClientTiming GetClientTiming();
void SetClientTiming(const ClientTiming& timing);

}  // namespace kelo::net
