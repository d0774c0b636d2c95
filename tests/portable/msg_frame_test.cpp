// Incoming frames, read from a byte stream: what each header makes of the bytes behind it,
// and that a frame never writes past the packet or the record.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/frame.h"

namespace {

using kelo::net::FrameResult;
using kelo::net::ReadFrame;
using Bytes = std::vector<unsigned char>;

Bytes Header(unsigned id, unsigned total, unsigned a = 0, unsigned b = 0) {
  return {static_cast<unsigned char>(a >> 8), static_cast<unsigned char>(a), static_cast<unsigned char>(b >> 8),
          static_cast<unsigned char>(b), static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id),
          static_cast<unsigned char>(total >> 8), static_cast<unsigned char>(total)};
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Outcome {
  FrameResult result;
  unsigned id;
  Bytes data;
};

// Reads frames until the stream breaks, the way the receive thread does.
std::vector<Outcome> ReadAll(const Bytes& stream) {
  size_t at = 0;
  auto read_exact = [&](char* dst, unsigned n) {
    if (stream.size() - at < n) {
      at = stream.size();
      return false;
    }
    std::memcpy(dst, stream.data() + at, n);
    at += n;
    return true;
  };
  std::vector<Outcome> outcomes;
  for (;;) {
    auto header = std::make_unique<MsgPacket>();
    auto body = std::make_unique<MsgPacket>();
    auto record = std::make_unique<QueuedMsg>();
    FrameResult r = ReadFrame(read_exact, header.get(), body.get(), record.get());
    if (r == FrameResult::kBroken) break;
    Outcome o{r, 0, {}};
    if (r == FrameResult::kMessage) {
      o.id = record->id;
      o.data.assign(record->data, record->data + record->length);
      EXPECT_EQ(body->size, record->length);
      EXPECT_EQ(body->pos, 0);
    }
    outcomes.push_back(o);
  }
  return outcomes;
}

TEST(MsgFrame, EachHeaderDecidesWhatFollows) {
  const Bytes big(40968, 0xAB);
  const Bytes too_big(40969, 0xCD);
  struct Case {
    const char* what;
    Bytes stream;
    std::vector<Outcome> expected;
  };
  const std::vector<Case> cases = {
      {"id 7 with four bytes",
       Header(7, 12) + Bytes{1, 2, 3, 4},
       {{FrameResult::kMessage, 7, {1, 2, 3, 4}}}},
      {"unused fields are ignored",
       Header(0xFFFF, 9, 0x1234, 0xFFFF) + Bytes{0x55},
       {{FrameResult::kMessage, 0xFFFF, {0x55}}}},
      {"total 8 then a frame: the next 8 bytes are the next header",
       Header(3, 8) + Header(9, 10) + Bytes{0xA, 0xB},
       {{FrameResult::kNoBody, 0, {}}, {FrameResult::kMessage, 9, {0xA, 0xB}}}},
      {"total below 8 reads no body",
       Header(3, 2) + Header(4, 9) + Bytes{1},
       {{FrameResult::kNoBody, 0, {}}, {FrameResult::kMessage, 4, {1}}}},
      {"id 0 is a message like any other", Header(0, 9) + Bytes{1}, {{FrameResult::kMessage, 0, {1}}}},
      {"the largest body a packet holds", Header(5, 8 + 40968) + big, {{FrameResult::kMessage, 5, big}}},
      {"a longer body is read and dropped, the stream stays framed",
       Header(5, 8 + 40969) + too_big + Header(6, 9) + Bytes{7},
       {{FrameResult::kTooLong, 0, {}}, {FrameResult::kMessage, 6, {7}}}},
      {"the longest total the header can say",
       Header(5, 0xFFFF) + Bytes(0xFFFF - 8, 1) + Header(6, 9) + Bytes{7},
       {{FrameResult::kTooLong, 0, {}}, {FrameResult::kMessage, 6, {7}}}},
      {"a short header is lost", Bytes{0, 0, 0, 0, 0, 7}, {}},
      {"a short body is lost with its header", Header(7, 12) + Bytes{1, 2, 3}, {}},
  };
  for (const Case& c : cases) {
    std::vector<Outcome> got = ReadAll(c.stream);
    ASSERT_EQ(got.size(), c.expected.size()) << c.what;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].result, c.expected[i].result) << c.what << ", frame " << i;
      EXPECT_EQ(got[i].id, c.expected[i].id) << c.what << ", frame " << i;
      EXPECT_EQ(got[i].data, c.expected[i].data) << c.what << ", frame " << i;
    }
  }
}

}  // namespace
