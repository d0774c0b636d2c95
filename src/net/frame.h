#pragma once
// Reading one incoming frame: an 8-byte header of four big-endian 16-bit fields (two
// unused, the message id, the total length with the header), then total - 8 body bytes.
// The byte source is a callable read_exact(char* dst, unsigned n) that returns false when
// the n bytes could not all be had; the receive thread passes one over its socket, which
// waits through receive time-outs and fails only when the connection or the client ends.
#include <cstring>

#include "net/msg_packet.h"
#include "net/msg_queue.h"

namespace kelo::net {

inline constexpr unsigned kFrameHeaderSize = 8;

enum class FrameResult {
  kMessage,   // *out holds the message
  kNoBody,    // total length of 8 or less: only the header was consumed
  kTooLong,   // a body longer than a packet: read and dropped, so the stream stays framed
  kBroken,    // the source failed: the bytes of this frame read so far are lost
};

template <typename ReadExact>
FrameResult ReadFrame(ReadExact&& read_exact, MsgPacket* header, MsgPacket* body, QueuedMsg* out) {
  if (!read_exact(reinterpret_cast<char*>(header->buf), kFrameHeaderSize)) return FrameResult::kBroken;
  header->size = kFrameHeaderSize;
  header->pos = 0;
  header->readUshort();
  header->readUshort();
  unsigned id = header->readUshort();
  unsigned total = header->readUshort();
  if (total <= kFrameHeaderSize) return FrameResult::kNoBody;
  unsigned remaining = total - kFrameHeaderSize;
  if (remaining > MsgPacket::kCapacity) {
    while (remaining > 0) {
      unsigned chunk = remaining < MsgPacket::kCapacity ? remaining : MsgPacket::kCapacity;
      if (!read_exact(reinterpret_cast<char*>(body->buf), chunk)) return FrameResult::kBroken;
      remaining -= chunk;
    }
    return FrameResult::kTooLong;
  }
  if (!read_exact(reinterpret_cast<char*>(body->buf), remaining)) return FrameResult::kBroken;
  body->size = static_cast<unsigned short>(remaining);
  body->pos = 0;
  out->id = id;
  out->length = static_cast<unsigned short>(remaining);
  std::memcpy(out->data, body->buf, remaining);
  return FrameResult::kMessage;
}

}  // namespace kelo::net
