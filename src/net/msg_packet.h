#pragma once
// A message of the channel: a fixed 40968-byte buffer with one cursor for writing and
// reading. Integers travel big-endian; strings carry a 16-bit big-endian length and no
// terminator. Nothing here allocates except the copy kept by readString.
#include <string>

#include "net/net_export.h"

class MsgPacket {
 public:
  static constexpr unsigned kCapacity = 40968;

  KELO_NET_API MsgPacket();
  // The copy gets the buffer, size and cursor; it never shares lastString.
  KELO_NET_API MsgPacket(const MsgPacket& other);
  KELO_NET_API MsgPacket& operator=(const MsgPacket& other);
  KELO_NET_API virtual ~MsgPacket();

  // Each write lands at pos and adds its width to pos and size. A write that would not fit
  // in buf is dropped whole; writeBytes also drops one that would fill the last byte.
  KELO_NET_API void writeByte(unsigned char v);
  KELO_NET_API void writeBoolean(bool v);
  KELO_NET_API void writeShort(short v);
  KELO_NET_API void writeInt(int v);
  KELO_NET_API void writeUint(unsigned int v);
  KELO_NET_API void writeInt64(long long v);
  KELO_NET_API void writeBytes(const char* p, unsigned int n);
  // The first other->size bytes of other's buffer, wherever its cursor is.
  KELO_NET_API void writeBytes(const MsgPacket* other);
  KELO_NET_API void writeString(const char* p, unsigned short n);
  // The length is cut to 16 bits, and so is the text with it.
  KELO_NET_API void writeString(const char* s);
  KELO_NET_API void writeString(const std::string& s);

  // A read at or past size gives 0, false or nothing and leaves pos. Otherwise it takes
  // its whole width from pos, even past size, and moves pos by it. A read whose bytes
  // would run past the end of buf is treated like a read at size.
  KELO_NET_API unsigned char readByte();
  KELO_NET_API unsigned char readUbyte();
  KELO_NET_API bool readBoolean();
  KELO_NET_API short readShort();
  KELO_NET_API unsigned short readUshort();
  KELO_NET_API int readInt();
  KELO_NET_API unsigned int readUint();
  // Two 32-bit halves, high first; each half is 0 when pos has reached size at its turn.
  KELO_NET_API long long readInt64();
  // Copies n bytes at pos into dst->buf at offset; dst's size and cursor stay. Refused
  // whole when either range would leave its buffer.
  KELO_NET_API void readBytes(MsgPacket* dst, unsigned int offset, unsigned int n);
  // Stores the 16-bit length N in *len, copies the N bytes behind it to out and puts a
  // zero after them. out must hold N + 1 bytes; N is never more than kCapacity - 2.
  KELO_NET_API void readChar(int* len, char* out);
  // The bytes of the string field up to its first zero byte; pos moves past the whole
  // field. The packet keeps its own copy in lastString.
  KELO_NET_API std::string readString();

  unsigned short size;
  unsigned short pos;
  unsigned char buf[kCapacity];
  char* lastString;

 private:
  bool Fits(unsigned width) const;
  void Put(unsigned long long value, unsigned width);
  bool CanRead(unsigned width) const;
  unsigned long long Take(unsigned width);
};
