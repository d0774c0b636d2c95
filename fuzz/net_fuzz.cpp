// Feeds arbitrary bytes to the message channel's parsers: as a packet that the readers
// walk with user-set cursors, and as a stream of incoming frames. Any read or write outside
// a packet or record shows as an AddressSanitizer report.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sanitizer/asan_interface.h>

#include "net/frame.h"
#include "net/msg_packet.h"
#include "net/msg_queue.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A packet's buffer is followed by padding inside the object, where AddressSanitizer sees
// no overrun of it: made unaddressable, a copy running past the buffer's end shows.
std::unique_ptr<MsgPacket> FencedPacket() {
  auto packet = std::make_unique<MsgPacket>();
  char* const end = reinterpret_cast<char*>(packet->buf + MsgPacket::kCapacity);
  char* const next = reinterpret_cast<char*>(&packet->lastString);
  if (next > end) ASAN_POISON_MEMORY_REGION(end, next - end);
  return packet;
}

// The first bytes steer: which reads and writes run, and where size and pos point.
void WalkPacket(const uint8_t* data, size_t size) {
  auto packet = FencedPacket();
  auto other = FencedPacket();
  const size_t content = size < MsgPacket::kCapacity ? size : MsgPacket::kCapacity;
  std::memcpy(packet->buf, data, content);
  packet->size = static_cast<uint16_t>(content);
  char out[MsgPacket::kCapacity];
  for (size_t i = 0; i + 3 <= size && i < 3 * 64; i += 3) {
    const uint8_t op = data[i];
    const uint16_t arg = static_cast<uint16_t>(data[i + 1] << 8 | data[i + 2]);
    const uint16_t before = packet->pos;
    switch (op % 20) {
      case 0: packet->pos = arg; break;
      case 1: packet->size = arg; break;
      case 2: packet->readByte(); break;
      case 3: packet->readShort(); break;
      case 4: packet->readInt(); break;
      case 5: packet->readInt64(); break;
      case 6: {
        std::string s = packet->readString();
        Check(s.size() <= MsgPacket::kCapacity);
        break;
      }
      case 7: {
        int len = -1;
        packet->readChar(&len, out);
        Check(len <= static_cast<int>(MsgPacket::kCapacity) - 2);
        break;
      }
      case 8: packet->readBytes(other.get(), arg, data[i] * 97u); break;
      case 9: packet->readBytes(packet.get(), arg, arg); break;
      case 10: packet->writeByte(data[i + 1]); break;
      case 11: packet->writeShort(static_cast<short>(arg)); break;
      case 12: packet->writeInt(arg); break;
      case 13: packet->writeInt64(arg); break;
      case 14: packet->writeBytes(reinterpret_cast<const char*>(data), static_cast<unsigned>(size < arg ? size : arg)); break;
      case 15: packet->writeBytes(packet.get()); break;
      case 16: packet->writeString(reinterpret_cast<const char*>(data), static_cast<unsigned short>(size < arg ? size : arg)); break;
      case 17: *other = *packet; break;
      case 18: other->writeBytes(packet.get()); break;
      case 19: {
        MsgPacket copy(*packet);
        Check(copy.lastString == nullptr);
        break;
      }
    }
    // Only setting pos moves it backwards.
    if (op % 20 != 0 && op % 20 != 17) Check(packet->pos >= before || op % 20 == 0);
  }
}

void ReadFrames(const uint8_t* data, size_t size) {
  size_t at = 0;
  auto read_exact = [&](char* dst, unsigned n) {
    if (size - at < n) return false;
    std::memcpy(dst, data + at, n);
    at += n;
    return true;
  };
  auto header = std::make_unique<MsgPacket>();
  auto body = std::make_unique<MsgPacket>();
  auto record = std::make_unique<QueuedMsg>();
  for (;;) {
    const size_t start = at;
    kelo::net::FrameResult r = kelo::net::ReadFrame(read_exact, header.get(), body.get(), record.get());
    if (r == kelo::net::FrameResult::kBroken) break;
    if (r == kelo::net::FrameResult::kMessage) {
      Check(record->length <= MsgPacket::kCapacity);
      Check(std::memcmp(record->data, data + start + 8, record->length) == 0);
      Check(record->id == static_cast<unsigned>(data[start + 4] << 8 | data[start + 5]));
    }
    Check(at > start);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    WalkPacket(data + 1, size - 1);
  } else {
    ReadFrames(data + 1, size - 1);
  }
  return 0;
}
