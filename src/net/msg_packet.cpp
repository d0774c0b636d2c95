#include "net/msg_packet.h"

#include <cstring>
#include <new>

MsgPacket::MsgPacket() : size(0), pos(0), buf{}, lastString(nullptr) {}

MsgPacket::MsgPacket(const MsgPacket& other) : size(other.size), pos(other.pos), lastString(nullptr) {
  std::memcpy(buf, other.buf, sizeof buf);
}

MsgPacket& MsgPacket::operator=(const MsgPacket& other) {
  if (this != &other) {
    size = other.size;
    pos = other.pos;
    std::memcpy(buf, other.buf, sizeof buf);
  }
  return *this;
}

MsgPacket::~MsgPacket() { delete[] lastString; }

// pos and size are public, so a user may have set pos anywhere up to 65535: every bound
// is checked against the buffer, never assumed from size.
bool MsgPacket::Fits(unsigned width) const { return static_cast<unsigned long long>(pos) + width <= kCapacity; }

void MsgPacket::Put(unsigned long long value, unsigned width) {
  if (!Fits(width)) return;
  for (unsigned i = 0; i < width; ++i)
    buf[pos + i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
  pos = static_cast<unsigned short>(pos + width);
  size = static_cast<unsigned short>(size + width);
}

void MsgPacket::writeByte(unsigned char v) { Put(v, 1); }
void MsgPacket::writeBoolean(bool v) { writeByte(v ? 1 : 0); }
void MsgPacket::writeShort(short v) { Put(static_cast<unsigned short>(v), 2); }
void MsgPacket::writeInt(int v) { writeUint(static_cast<unsigned int>(v)); }
void MsgPacket::writeUint(unsigned int v) { Put(v, 4); }
void MsgPacket::writeInt64(long long v) { Put(static_cast<unsigned long long>(v), 8); }

void MsgPacket::writeBytes(const char* p, unsigned int n) {
  // Never lets the content reach the last byte of the buffer.
  if (static_cast<unsigned long long>(pos) + n >= kCapacity) return;
  if (n == 0) return;
  if (!p) return;
  // The source may be this packet's own buffer.
  std::memmove(buf + pos, p, n);
  pos = static_cast<unsigned short>(pos + n);
  size = static_cast<unsigned short>(size + n);
}

void MsgPacket::writeBytes(const MsgPacket* other) {
  if (!other || other->size > kCapacity) return;
  writeBytes(reinterpret_cast<const char*>(other->buf), other->size);
}

void MsgPacket::writeString(const char* p, unsigned short n) {
  if (!Fits(2u + n) || (n && !p)) return;
  // The text first: it may lie in this packet's own buffer, where the length goes.
  std::memmove(buf + pos + 2, p ? p : "", n);
  Put(n, 2);
  pos = static_cast<unsigned short>(pos + n);
  size = static_cast<unsigned short>(size + n);
}

void MsgPacket::writeString(const char* s) {
  writeString(s, static_cast<unsigned short>(s ? std::strlen(s) : 0));
}

void MsgPacket::writeString(const std::string& s) {
  writeString(s.data(), static_cast<unsigned short>(s.size()));
}

bool MsgPacket::CanRead(unsigned width) const { return pos < size && Fits(width); }

unsigned long long MsgPacket::Take(unsigned width) {
  unsigned long long value = 0;
  for (unsigned i = 0; i < width; ++i) value = (value << 8) | buf[pos + i];
  pos = static_cast<unsigned short>(pos + width);
  return value;
}

unsigned char MsgPacket::readByte() { return CanRead(1) ? static_cast<unsigned char>(Take(1)) : 0; }
unsigned char MsgPacket::readUbyte() { return readByte(); }
bool MsgPacket::readBoolean() { return readByte() != 0; }
short MsgPacket::readShort() { return static_cast<short>(readUshort()); }
unsigned short MsgPacket::readUshort() { return CanRead(2) ? static_cast<unsigned short>(Take(2)) : 0; }
int MsgPacket::readInt() { return static_cast<int>(readUint()); }
unsigned int MsgPacket::readUint() { return CanRead(4) ? static_cast<unsigned int>(Take(4)) : 0; }

long long MsgPacket::readInt64() {
  unsigned long long high = readUint();
  unsigned long long low = readUint();
  return static_cast<long long>((high << 32) | low);
}

void MsgPacket::readBytes(MsgPacket* dst, unsigned int offset, unsigned int n) {
  if (!dst || !CanRead(n)) return;
  if (static_cast<unsigned long long>(offset) + n > kCapacity) return;
  // dst may be this packet.
  std::memmove(dst->buf + offset, buf + pos, n);
  pos = static_cast<unsigned short>(pos + n);
}

void MsgPacket::readChar(int* len, char* out) {
  if (!len || !out || !CanRead(2)) return;
  unsigned n = static_cast<unsigned>(buf[pos] << 8 | buf[pos + 1]);
  if (!Fits(2 + n)) return;
  Take(2);
  *len = static_cast<int>(n);
  std::memcpy(out, buf + pos, n);
  out[n] = '\0';
  pos = static_cast<unsigned short>(pos + n);
}

std::string MsgPacket::readString() {
  if (!CanRead(2)) return std::string();
  unsigned n = static_cast<unsigned>(buf[pos] << 8 | buf[pos + 1]);
  if (!Fits(2 + n)) return std::string();
  Take(2);
  const char* field = reinterpret_cast<const char*>(buf + pos);
  pos = static_cast<unsigned short>(pos + n);
  size_t length = 0;
  while (length < n && field[length] != '\0') ++length;
  delete[] lastString;
  lastString = new (std::nothrow) char[n + 1];
  if (lastString) {
    std::memcpy(lastString, field, n);
    lastString[n] = '\0';
  }
  return std::string(field, length);
}
