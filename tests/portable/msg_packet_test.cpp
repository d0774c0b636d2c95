// The message packet: its byte layout, the shared cursor, reads at or past size, and the
// buffer's edge, where nothing may be read or written outside the packet.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/msg_packet.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Content(const MsgPacket& p) { return Bytes(p.buf, p.buf + p.size); }

// Packets are 40 KB: tests keep them on the heap.
std::unique_ptr<MsgPacket> NewPacket() { return std::make_unique<MsgPacket>(); }

std::unique_ptr<MsgPacket> PacketHolding(const Bytes& bytes) {
  auto p = NewPacket();
  std::memcpy(p->buf, bytes.data(), bytes.size());
  p->size = static_cast<unsigned short>(bytes.size());
  p->pos = 0;
  return p;
}

TEST(MsgPacket, FreshPacketIsEmptyZeroFilledAndReadsNothing) {
  auto p = NewPacket();
  EXPECT_EQ(p->size, 0);
  EXPECT_EQ(p->pos, 0);
  EXPECT_EQ(p->lastString, nullptr);
  for (unsigned i = 0; i < MsgPacket::kCapacity; ++i) ASSERT_EQ(p->buf[i], 0) << "byte " << i;
  EXPECT_EQ(p->readInt(), 0);
  EXPECT_EQ(p->pos, 0);
  EXPECT_EQ(sizeof p->buf, 40968u);
}

TEST(MsgPacket, EveryWriterPlacesItsValueBigEndian) {
  struct Case {
    const char* what;
    void (*write)(MsgPacket*);
    Bytes bytes;
  };
  const Case cases[] = {
      {"writeByte 0xAB", [](MsgPacket* p) { p->writeByte(0xAB); }, {0xAB}},
      {"writeBoolean true", [](MsgPacket* p) { p->writeBoolean(true); }, {0x01}},
      {"writeBoolean false", [](MsgPacket* p) { p->writeBoolean(false); }, {0x00}},
      {"writeShort 1", [](MsgPacket* p) { p->writeShort(1); }, {0x00, 0x01}},
      {"writeShort -2", [](MsgPacket* p) { p->writeShort(-2); }, {0xFF, 0xFE}},
      {"writeInt 0x01020304", [](MsgPacket* p) { p->writeInt(0x01020304); }, {1, 2, 3, 4}},
      {"writeInt -1", [](MsgPacket* p) { p->writeInt(-1); }, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"writeUint 0xA1B2C3D4", [](MsgPacket* p) { p->writeUint(0xA1B2C3D4u); }, {0xA1, 0xB2, 0xC3, 0xD4}},
      {"writeInt64 01..08", [](MsgPacket* p) { p->writeInt64(0x0102030405060708LL); }, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"writeInt64 -2", [](MsgPacket* p) { p->writeInt64(-2); }, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
      {"writeBytes 3", [](MsgPacket* p) { p->writeBytes("\x00\x7F\x80", 3); }, {0x00, 0x7F, 0x80}},
      {"writeString p,n", [](MsgPacket* p) { p->writeString("abcdef", static_cast<unsigned short>(2)); },
       {0, 2, 'a', 'b'}},
      {"writeString empty", [](MsgPacket* p) { p->writeString(""); }, {0, 0}},
      {"writeString std::string with zero",
       [](MsgPacket* p) { p->writeString(std::string("a\0b", 3)); }, {0, 3, 'a', 0, 'b'}},
      {"writeString null text", [](MsgPacket* p) { p->writeString(static_cast<const char*>(nullptr)); }, {0, 0}},
  };
  for (const Case& c : cases) {
    auto p = NewPacket();
    c.write(p.get());
    EXPECT_EQ(Content(*p), c.bytes) << c.what;
    EXPECT_EQ(p->pos, c.bytes.size()) << c.what;
  }
}

TEST(MsgPacket, ShortIntAndStringMakeTheElevenByteExample) {
  auto p = NewPacket();
  p->writeShort(1);
  p->writeInt(2);
  p->writeString("abc");
  EXPECT_EQ(Content(*p), (Bytes{0, 1, 0, 0, 0, 2, 0, 3, 'a', 'b', 'c'}));
  EXPECT_EQ(p->size, 11);
  EXPECT_EQ(p->pos, 11);

  p->pos = 0;
  EXPECT_EQ(p->readShort(), 1);
  EXPECT_EQ(p->readInt(), 2);
  EXPECT_EQ(p->readString(), "abc");
  EXPECT_EQ(p->pos, 11);
}

TEST(MsgPacket, ReadersGiveBackWhatWritersPut) {
  auto p = NewPacket();
  p->writeByte(200);
  p->writeBoolean(true);
  p->writeShort(-12345);
  p->writeShort(static_cast<short>(0xFEDC));
  p->writeInt(-7);
  p->writeUint(4000000000u);
  p->writeInt64(0x0102030405060708LL);
  p->writeInt64(-5);
  p->writeString("hello");
  p->writeByte(7);  // no terminator between: the field ends at its length
  p->writeString(std::string("x"));
  p->pos = 0;
  EXPECT_EQ(p->readByte(), 200);
  EXPECT_TRUE(p->readBoolean());
  EXPECT_EQ(p->readShort(), -12345);
  EXPECT_EQ(p->readUshort(), 0xFEDC);
  EXPECT_EQ(p->readInt(), -7);
  EXPECT_EQ(p->readUint(), 4000000000u);
  EXPECT_EQ(p->readInt64(), 0x0102030405060708LL);
  EXPECT_EQ(p->readInt64(), -5);
  EXPECT_EQ(p->readString(), "hello");
  EXPECT_EQ(p->readByte(), 7);
  EXPECT_EQ(p->readString(), "x");
  EXPECT_EQ(p->pos, p->size);
}

TEST(MsgPacket, ByteReadersShareOneEncoding) {
  auto p = PacketHolding({0xFF, 0x00, 0x02});
  EXPECT_EQ(p->readUbyte(), 0xFF);
  EXPECT_FALSE(p->readBoolean());
  EXPECT_TRUE(p->readBoolean());  // any nonzero byte is true
}

TEST(MsgPacket, WriteLandsAtTheCursorAndStillGrowsSize) {
  auto p = NewPacket();
  p->writeInt(5);
  EXPECT_EQ(p->readInt(), 0) << "the cursor is at size";
  EXPECT_EQ(p->pos, 4);
  p->pos = 0;
  EXPECT_EQ(p->readInt(), 5);

  p->pos = 2;
  p->writeShort(0x0A0B);
  EXPECT_EQ(p->size, 6);
  EXPECT_EQ(p->pos, 4);
  EXPECT_EQ(Content(*p), (Bytes{0, 0, 0x0A, 0x0B, 0, 0}));
}

TEST(MsgPacket, ReadAtOrPastSizeGivesEmptyValuesAndLeavesTheCursor) {
  auto p = PacketHolding({9, 9, 9, 9, 9, 9, 9, 9});
  p->pos = 8;
  EXPECT_EQ(p->readByte(), 0);
  EXPECT_FALSE(p->readBoolean());
  EXPECT_EQ(p->readShort(), 0);
  EXPECT_EQ(p->readUshort(), 0);
  EXPECT_EQ(p->readInt(), 0);
  EXPECT_EQ(p->readUint(), 0u);
  EXPECT_EQ(p->readInt64(), 0);
  EXPECT_EQ(p->readString(), "");
  char out[4] = {'k', 'k', 'k', 'k'};
  int len = -1;
  p->readChar(&len, out);
  EXPECT_EQ(len, -1);
  EXPECT_EQ(out[0], 'k');
  auto dst = NewPacket();
  p->readBytes(dst.get(), 0, 4);
  EXPECT_EQ(dst->buf[0], 0);
  EXPECT_EQ(p->pos, 8);

  p->pos = 20;  // past size
  EXPECT_EQ(p->readInt(), 0);
  EXPECT_EQ(p->pos, 20);
}

TEST(MsgPacket, ReadStartingBeforeSizeTakesItsFullWidth) {
  auto p = PacketHolding({0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44});
  p->size = 5;
  p->pos = 4;
  EXPECT_EQ(p->readInt(), 0x11223344);
  EXPECT_EQ(p->pos, 8);
}

TEST(MsgPacket, Int64ReadsEachHalfOnlyWhileBeforeSize) {
  // size 4: the high half is read, the low half finds pos at size and is 0.
  auto p = PacketHolding({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
  p->size = 4;
  EXPECT_EQ(p->readInt64(), 0x0102030400000000LL);
  EXPECT_EQ(p->pos, 4);
}

TEST(MsgPacket, ReadStringStopsAtTheFirstZeroButSkipsTheWholeField) {
  auto p = PacketHolding({0, 3, 'a', 0, 'b', 0x7E});
  EXPECT_EQ(p->readString(), "a");
  EXPECT_EQ(p->pos, 5);
  EXPECT_EQ(p->readByte(), 0x7E);
}

TEST(MsgPacket, EmptyStringRoundTripsInTwoBytes) {
  auto p = NewPacket();
  p->writeString("");
  EXPECT_EQ(Content(*p), (Bytes{0, 0}));
  p->pos = 0;
  EXPECT_EQ(p->readString(), "");
  EXPECT_EQ(p->pos, 2);
}

TEST(MsgPacket, LastStringKeepsACopyOfTheLatestString) {
  auto p = PacketHolding({0, 2, 'h', 'i', 0, 3, 'a', 0, 'b'});
  p->readString();
  ASSERT_NE(p->lastString, nullptr);
  EXPECT_STREQ(p->lastString, "hi");
  p->readString();
  ASSERT_NE(p->lastString, nullptr);
  EXPECT_EQ(std::memcmp(p->lastString, "a\0b", 3), 0) << "the copy holds the whole field";
  // A copy never shares it, an assignment keeps the target's own.
  MsgPacket copy(*p);
  EXPECT_EQ(copy.lastString, nullptr);
  auto target = PacketHolding({0, 1, 'z'});
  target->readString();
  char* own = target->lastString;
  *target = *p;
  EXPECT_EQ(target->lastString, own);
}

TEST(MsgPacket, CopiesTakeTheWholeBufferSizeAndCursor) {
  auto p = NewPacket();
  p->writeInt(0x01020304);
  p->buf[MsgPacket::kCapacity - 1] = 0x5A;  // beyond size: copied all the same
  p->pos = 1;
  MsgPacket copy(*p);
  EXPECT_EQ(copy.size, 4);
  EXPECT_EQ(copy.pos, 1);
  EXPECT_EQ(std::memcmp(copy.buf, p->buf, sizeof p->buf), 0);
  auto assigned = PacketHolding({7, 7, 7, 7, 7, 7});
  *assigned = *p;
  EXPECT_EQ(assigned->size, 4);
  EXPECT_EQ(assigned->pos, 1);
  EXPECT_EQ(std::memcmp(assigned->buf, p->buf, sizeof p->buf), 0);
  *assigned = *assigned;
  EXPECT_EQ(assigned->size, 4);
}

TEST(MsgPacket, WriteBytesFromAPacketTakesItsContentFromTheStart) {
  auto src = NewPacket();
  src->writeInt(0x0A0B0C0D);
  src->pos = 3;  // the source cursor does not matter
  auto p = NewPacket();
  p->writeByte(1);
  p->writeBytes(src.get());
  EXPECT_EQ(Content(*p), (Bytes{1, 0x0A, 0x0B, 0x0C, 0x0D}));
  // Into itself: the content doubles.
  p->writeBytes(p.get());
  EXPECT_EQ(Content(*p), (Bytes{1, 0x0A, 0x0B, 0x0C, 0x0D, 1, 0x0A, 0x0B, 0x0C, 0x0D}));
}

// A text taken from the packet's own buffer, where its length goes, arrives unchanged.
TEST(MsgPacket, WriteStringFromThePacketsOwnBufferKeepsTheText) {
  auto p = NewPacket();
  std::memcpy(p->buf, "abc", 3);
  p->writeString(reinterpret_cast<const char*>(p->buf), 3);
  EXPECT_EQ(Content(*p), (Bytes{0, 3, 'a', 'b', 'c'}));
  p->pos = 0;
  EXPECT_EQ(p->readString(), "abc");
}

TEST(MsgPacket, WriteBytesRefusesToReachTheLastByte) {
  std::vector<char> data(MsgPacket::kCapacity, 'q');
  auto p = NewPacket();
  p->writeBytes(data.data(), 40968);
  EXPECT_EQ(p->size, 0);
  EXPECT_EQ(p->pos, 0);
  EXPECT_EQ(p->buf[0], 0);
  p->writeBytes(data.data(), 40967);
  EXPECT_EQ(p->size, 40967);
  EXPECT_EQ(p->pos, 40967);
  EXPECT_EQ(p->buf[40966], 'q');
  EXPECT_EQ(p->buf[40967], 0);
  p->writeBytes(data.data(), 1);
  EXPECT_EQ(p->size, 40967) << "pos + n reaching 40968 is refused";

  // From a packet whose size claims more than its buffer holds.
  auto bogus = NewPacket();
  bogus->size = 50000;
  auto q = NewPacket();
  q->writeBytes(bogus.get());
  EXPECT_EQ(q->size, 0);
}

TEST(MsgPacket, LongStringIsCutToSixteenBitsOfLength) {
  std::string text(65537, 'w');
  text[0] = 'F';
  auto p = NewPacket();
  p->writeString(text.c_str());
  EXPECT_EQ(Content(*p), (Bytes{0, 1, 'F'}));
  auto q = NewPacket();
  q->writeString(text);
  EXPECT_EQ(Content(*q), (Bytes{0, 1, 'F'}));
}

TEST(MsgPacket, WritesThatWouldLeaveTheBufferAreDroppedWhole) {
  struct Case {
    const char* what;
    unsigned pos;
    void (*write)(MsgPacket*);
    unsigned width;
  };
  const Case cases[] = {
      // No zero byte in any value: a write cut short at the end would show in the buffer.
      {"byte", 40968, [](MsgPacket* p) { p->writeByte(0x7F); }, 1},
      {"short", 40967, [](MsgPacket* p) { p->writeShort(0x7F7F); }, 2},
      {"int", 40965, [](MsgPacket* p) { p->writeInt(0x7F7F7F7F); }, 4},
      {"uint", 40966, [](MsgPacket* p) { p->writeUint(0x7F7F7F7Fu); }, 4},
      {"int64", 40961, [](MsgPacket* p) { p->writeInt64(0x7F7F7F7F7F7F7F7FLL); }, 8},
      {"string", 40964, [](MsgPacket* p) { p->writeString("\x7F\x7F\x7F"); }, 5},
      {"string n", 40967, [](MsgPacket* p) { p->writeString("", static_cast<unsigned short>(0)); }, 2},
      {"int far out", 65535, [](MsgPacket* p) { p->writeInt(0x7F7F7F7F); }, 4},
  };
  for (const Case& c : cases) {
    // Each sits in a larger block so a stray byte past buf would show.
    std::vector<unsigned char> guard(sizeof(MsgPacket) + 64, 0xEE);
    MsgPacket* p = new (guard.data()) MsgPacket;
    p->pos = static_cast<unsigned short>(c.pos);
    p->size = 3;
    c.write(p);
    EXPECT_EQ(p->pos, c.pos) << c.what;
    EXPECT_EQ(p->size, 3) << c.what;
    for (unsigned i = 40960; i < MsgPacket::kCapacity; ++i) EXPECT_EQ(p->buf[i], 0) << c.what << " byte " << i;
    EXPECT_EQ(p->lastString, nullptr) << c.what;
    for (size_t i = sizeof(MsgPacket); i < guard.size(); ++i) ASSERT_EQ(guard[i], 0xEE) << c.what;
    p->~MsgPacket();

    // One byte earlier it fits, up to the very end.
    auto fits = NewPacket();
    fits->pos = static_cast<unsigned short>(MsgPacket::kCapacity - c.width);
    if (c.pos <= MsgPacket::kCapacity) {
      c.write(fits.get());
      EXPECT_EQ(fits->pos, MsgPacket::kCapacity) << c.what;
    }
  }
}

TEST(MsgPacket, ReadsThatWouldLeaveTheBufferGiveNothing) {
  auto p = NewPacket();
  std::memset(p->buf, 0x11, sizeof p->buf);
  p->size = 65535;  // size never bounds the buffer
  struct Case {
    const char* what;
    unsigned pos;
    bool (*read)(MsgPacket*);
  };
  const Case cases[] = {
      {"byte at end", 40968, [](MsgPacket* q) { return q->readByte() == 0; }},
      {"short", 40967, [](MsgPacket* q) { return q->readShort() == 0; }},
      {"int", 40965, [](MsgPacket* q) { return q->readInt() == 0; }},
      {"int64", 40964, [](MsgPacket* q) { return q->readInt64() == 0x1111111100000000LL; }},
      {"string count", 40000, [](MsgPacket* q) { return q->readString().empty(); }},
  };
  for (const Case& c : cases) {
    p->pos = static_cast<unsigned short>(c.pos);
    EXPECT_TRUE(c.read(p.get())) << c.what;
    EXPECT_EQ(p->pos, c.what == std::string("int64") ? 40968 : c.pos) << c.what;
  }

  // A string or char field whose count runs past the buffer.
  p->pos = 40000;  // length 0x1111 = 4369 bytes would end at 44371
  char out[8] = {'k'};
  int len = -1;
  p->readChar(&len, out);
  EXPECT_EQ(len, -1);
  EXPECT_EQ(out[0], 'k');
  EXPECT_EQ(p->pos, 40000);

  // readBytes: the source or the destination range past a buffer.
  auto dst = NewPacket();
  p->pos = 40960;
  p->readBytes(dst.get(), 0, 9);
  EXPECT_EQ(p->pos, 40960);
  EXPECT_EQ(dst->buf[0], 0);
  p->pos = 0;
  p->readBytes(dst.get(), 40960, 9);
  EXPECT_EQ(p->pos, 0);
  EXPECT_EQ(dst->buf[40960], 0);
  p->readBytes(dst.get(), 40960, 8);
  EXPECT_EQ(p->pos, 8);
  EXPECT_EQ(dst->buf[40967], 0x11);
}

TEST(MsgPacket, ReadCharCopiesTheFieldWithATerminator) {
  auto p = PacketHolding({0, 3, 'x', 'y', 'z', 0, 0});
  char out[8];
  std::memset(out, '#', sizeof out);
  int len = -1;
  p->readChar(&len, out);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(std::string(out, 5), std::string("xyz\0#", 5));
  EXPECT_EQ(p->pos, 5);
  p->readChar(&len, out);  // an empty field
  EXPECT_EQ(len, 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(p->pos, 7);
}

TEST(MsgPacket, ReadBytesCopiesIntoTheTargetWithoutMovingIt) {
  auto p = PacketHolding({1, 2, 3, 4, 5});
  p->pos = 1;
  auto dst = NewPacket();
  dst->size = 9;
  dst->pos = 7;
  p->readBytes(dst.get(), 10, 3);
  EXPECT_EQ(p->pos, 4);
  EXPECT_EQ((Bytes{dst->buf[10], dst->buf[11], dst->buf[12]}), (Bytes{2, 3, 4}));
  EXPECT_EQ(dst->size, 9);
  EXPECT_EQ(dst->pos, 7);
}

}  // namespace
