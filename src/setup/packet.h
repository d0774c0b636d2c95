#pragma once
// The payload packet: a 9-byte header (unpacked size, 5-byte LZMA properties) followed by
// a raw LZMA stream that decodes to the record archive. Portable: no Windows calls, so the
// host packer and the native tests use the same reader as the installer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelo {

inline constexpr size_t kPacketHeaderSize = 9;
inline constexpr size_t kLzmaPropsSize = 5;
inline constexpr size_t kRecordHeaderSize = 8;
// Names and paths go through buffers of 260 characters, terminator included.
inline constexpr size_t kMaxNameBytes = 259;
inline constexpr uint16_t kRecordReserved = 24;
// No LZMA stream gives more than about 7,100 bytes per byte of input: a decoded bit costs
// at least 0.022 bits of input (probabilities stop at 2017/2048) and the longest match,
// 273 bytes, takes 14 of them. A header asking for more than this bound, over twice that,
// is refused before anything is allocated for it.
inline constexpr uint64_t kMaxLzmaExpansion = 16384;

enum class PacketError {
  kNone,
  kTooShort,         // fewer bytes than the header
  kBadProperties,    // properties the decoder does not support
  kOutOfMemory,
  kCorruptStream,    // the decoder found invalid data
  kTruncatedStream,  // the stream ended before the declared size was produced
  kRecordOverrun,    // a record's name or data runs past the decoded archive
  kBadName,          // a record name that could escape or not fit the install directory
  kConsumerFailed,   // whoever took the records refused one (it knows why)
};

const char* PacketErrorText(PacketError error);

struct PacketHeader {
  uint32_t unpacked_size = 0;
  uint8_t props[kLzmaPropsSize] = {};
  const uint8_t* stream = nullptr;
  size_t stream_size = 0;
};

// kTooShort for fewer than 9 bytes; kTruncatedStream when the unpacked size is more than
// kMaxLzmaExpansion bytes for each byte of the stream.
PacketError ParsePacketHeader(const uint8_t* packet, size_t size, PacketHeader* header);

// Decodes the stream into `out`, which holds header.unpacked_size bytes. The stream needs
// no end marker: decoding stops at the declared size, and producing less is a failure.
PacketError DecodePacketStream(const PacketHeader& header, uint8_t* out);

struct DecodedArchive {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
};
// Header, decoding and the archive check in one: what an installer may write.
PacketError DecodePacket(const uint8_t* packet, size_t size, DecodedArchive* archive);

struct ArchiveRecord {
  const char* name;
  uint16_t name_size;
  uint16_t reserved;
  const uint8_t* data;
  uint32_t data_size;
};

// A relative file path made of backslash-separated components: not empty, at most 259
// bytes, no drive, colon or leading separator, no empty, "." or ".." component, no
// component ending in a dot or space (Windows would strip it), no control characters or
// characters Windows forbids in file names.
bool IsSafeArchiveName(const char* name, size_t size);

// Checks every record before anything is written: each lies wholly inside the archive and
// carries a safe name. A remainder of 8 bytes or fewer at the end is ignored.
PacketError CheckArchive(const uint8_t* data, size_t size);

// Calls visit(const ArchiveRecord&) for each record in archive order; visit returns false
// to stop. Only for an archive that passed CheckArchive.
template <typename Visit>
bool ForEachRecord(const uint8_t* data, size_t size, Visit&& visit);

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline ArchiveRecord RecordAt(const uint8_t* p) {
  ArchiveRecord r;
  r.name_size = ReadLe16(p);
  r.reserved = ReadLe16(p + 2);
  r.data_size = ReadLe32(p + 4);
  r.name = reinterpret_cast<const char*>(p + kRecordHeaderSize);
  r.data = p + kRecordHeaderSize + r.name_size;
  return r;
}

template <typename Visit>
bool ForEachRecord(const uint8_t* data, size_t size, Visit&& visit) {
  size_t pos = 0;
  while (pos + kRecordHeaderSize < size) {
    ArchiveRecord record = RecordAt(data + pos);
    if (!visit(record)) return false;
    pos += kRecordHeaderSize + record.name_size + static_cast<size_t>(record.data_size);
  }
  return true;
}

}  // namespace kelo
