#include "setup/packet.h"

#include <new>

#include "setup/lzma_alloc.h"

namespace kelo {

namespace {

bool IsForbiddenNameChar(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case ':': case '*': case '?': case '"': case '<': case '>': case '|': case '/':
      return true;
    default:
      return false;
  }
}

bool IsSafeComponent(const char* begin, const char* end) {
  const size_t length = static_cast<size_t>(end - begin);
  if (length == 0) return false;
  if (length == 1 && begin[0] == '.') return false;
  if (length == 2 && begin[0] == '.' && begin[1] == '.') return false;
  const char last = end[-1];
  return last != '.' && last != ' ';
}

}  // namespace

const char* PacketErrorText(PacketError error) {
  switch (error) {
    case PacketError::kNone: return "ok";
    case PacketError::kTooShort: return "packet shorter than its 9-byte header";
    case PacketError::kBadProperties: return "unsupported LZMA properties";
    case PacketError::kOutOfMemory: return "out of memory";
    case PacketError::kCorruptStream: return "corrupt LZMA stream";
    case PacketError::kTruncatedStream: return "LZMA stream ends before the declared size";
    case PacketError::kRecordOverrun: return "a record runs past the end of the archive";
    case PacketError::kBadName: return "a record name is unsafe or too long";
    case PacketError::kConsumerFailed: return "the records could not all be taken";
  }
  return "unknown error";
}

PacketError ParsePacketHeader(const uint8_t* packet, size_t size, PacketHeader* header) {
  if (packet == nullptr || size < kPacketHeaderSize) return PacketError::kTooShort;
  header->unpacked_size = ReadLe32(packet);
  for (size_t i = 0; i < kLzmaPropsSize; ++i) header->props[i] = packet[4 + i];
  header->stream = packet + kPacketHeaderSize;
  header->stream_size = size - kPacketHeaderSize;
  // Caught here, a small packet declaring gigabytes never gets its buffer allocated.
  if (header->unpacked_size > static_cast<uint64_t>(header->stream_size) * kMaxLzmaExpansion)
    return PacketError::kTruncatedStream;
  return PacketError::kNone;
}

PacketError DecodePacketStream(const PacketHeader& header, uint8_t* out) {
  SizeT out_size = header.unpacked_size;
  SizeT in_size = header.stream_size;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  const SRes result = LzmaDecode(out, &out_size, header.stream, &in_size, header.props,
                                 static_cast<unsigned>(kLzmaPropsSize), LZMA_FINISH_ANY, &status,
                                 &g_lzma_alloc);
  switch (result) {
    case SZ_OK: break;
    case SZ_ERROR_UNSUPPORTED: return PacketError::kBadProperties;
    case SZ_ERROR_MEM: return PacketError::kOutOfMemory;
    case SZ_ERROR_INPUT_EOF: return PacketError::kTruncatedStream;
    default: return PacketError::kCorruptStream;
  }
  // An end marker or the end of the input before the declared size: the archive would be
  // cut short, so the packet is unusable.
  if (out_size != header.unpacked_size) return PacketError::kTruncatedStream;
  return PacketError::kNone;
}

PacketError DecodePacket(const uint8_t* packet, size_t size, DecodedArchive* archive) {
  PacketHeader header;
  PacketError error = ParsePacketHeader(packet, size, &header);
  if (error != PacketError::kNone) return error;
  // Not zero-filled: the decoder writes every byte, and 12 MB of memset is measurable.
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[header.unpacked_size ? header.unpacked_size : 1]);
  if (!data) return PacketError::kOutOfMemory;
  error = DecodePacketStream(header, data.get());
  if (error != PacketError::kNone) return error;
  error = CheckArchive(data.get(), header.unpacked_size);
  if (error != PacketError::kNone) return error;
  archive->data = std::move(data);
  archive->size = header.unpacked_size;
  return PacketError::kNone;
}

bool IsSafeArchiveName(const char* name, size_t size) {
  if (name == nullptr || size == 0 || size > kMaxNameBytes) return false;
  const char* component = name;
  const char* end = name + size;
  for (const char* p = name; p != end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\') {
      if (!IsSafeComponent(component, p)) return false;
      component = p + 1;
    } else if (IsForbiddenNameChar(c)) {
      return false;
    }
  }
  return IsSafeComponent(component, end);
}

PacketError CheckArchive(const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos + kRecordHeaderSize < size) {
    const ArchiveRecord record = RecordAt(data + pos);
    const uint64_t record_end = static_cast<uint64_t>(pos) + kRecordHeaderSize + record.name_size +
                                record.data_size;
    if (record_end > size) return PacketError::kRecordOverrun;
    if (!IsSafeArchiveName(record.name, record.name_size)) return PacketError::kBadName;
    pos = static_cast<size_t>(record_end);
  }
  return PacketError::kNone;
}

}  // namespace kelo
