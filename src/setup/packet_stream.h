#pragma once
// Decoding a packet piece by piece and handing its records on as they appear: each record's
// name, then its data in pieces. The decoder fills a ring of its dictionary's size and a
// few megabytes more (never more than the archive); a second thread runs the consumer on
// the decoded bytes where they lie, so decoding and writing overlap and memory does not
// grow with the payload. A third takes the ring's first touch off the decoder's path.
#include <cstddef>
#include <cstdint>

#include "setup/packet.h"

namespace kelo {

class RecordConsumer {
 public:
  virtual ~RecordConsumer() = default;
  // A record whose name passed IsSafeArchiveName; `size` data bytes follow in Data calls.
  virtual bool BeginFile(const char* name, size_t name_size, uint32_t size) = 0;
  virtual bool Data(const uint8_t* data, size_t size) = 0;
  virtual bool EndFile() = 0;
};

// kNone when the whole archive was decoded, walked and consumed. kConsumerFailed when the
// consumer returned false (it keeps its own reason); the packet's faults otherwise, found
// before or after some records were consumed. The consumer runs on another thread, one
// call at a time.
PacketError StreamPacket(const uint8_t* packet, size_t size, RecordConsumer* consumer);

}  // namespace kelo
