#include "setup/packet_stream.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "LzmaDec.h"

namespace kelo {

namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr size_t kChunkCount = 4;
constexpr uint32_t kMinDictionary = 4096;

void* LzmaAlloc(void*, size_t size) { return size ? ::operator new(size, std::nothrow) : nullptr; }
void LzmaFree(void*, void* address) { ::operator delete(address); }
ISzAlloc g_lzma_alloc = {LzmaAlloc, LzmaFree};

// The record layout walked over the decoded bytes as they come, in pieces of any size.
class RecordWalker {
 public:
  explicit RecordWalker(RecordConsumer* consumer) : consumer_(consumer) {}

  PacketError Feed(const uint8_t* p, size_t n) {
    while (n > 0) {
      size_t take = 0;
      switch (state_) {
        case State::kHeader:
          take = n < kRecordHeaderSize - header_got_ ? n : kRecordHeaderSize - header_got_;
          std::memcpy(header_ + header_got_, p, take);
          header_got_ += take;
          if (header_got_ == kRecordHeaderSize) state_ = State::kAfterHeader;
          break;
        case State::kAfterHeader:
          // A byte follows the header, so the record is read (a header that ends the
          // archive is not).
          name_size_ = ReadLe16(header_);
          data_left_ = ReadLe32(header_ + 4);
          if (name_size_ == 0 || name_size_ > kMaxNameBytes) return PacketError::kBadName;
          name_.clear();
          state_ = State::kName;
          continue;
        case State::kName:
          take = n < name_size_ - name_.size() ? n : name_size_ - name_.size();
          name_.append(reinterpret_cast<const char*>(p), take);
          if (name_.size() == name_size_) {
            if (!IsSafeArchiveName(name_.data(), name_.size())) return PacketError::kBadName;
            if (!consumer_->BeginFile(name_.data(), name_.size(), data_left_)) return PacketError::kConsumerFailed;
            state_ = State::kData;
            if (data_left_ == 0 && !EndRecord()) return PacketError::kConsumerFailed;
          }
          break;
        case State::kData:
          take = n < data_left_ ? n : data_left_;
          if (!consumer_->Data(p, take)) return PacketError::kConsumerFailed;
          data_left_ -= static_cast<uint32_t>(take);
          if (data_left_ == 0 && !EndRecord()) return PacketError::kConsumerFailed;
          break;
      }
      p += take;
      n -= take;
    }
    return PacketError::kNone;
  }

  // At the end of the archive: a remainder of 8 bytes or fewer is no record; a record cut
  // short is a fault.
  PacketError Finish() const {
    return state_ == State::kName || state_ == State::kData ? PacketError::kRecordOverrun : PacketError::kNone;
  }

 private:
  enum class State { kHeader, kAfterHeader, kName, kData };

  bool EndRecord() {
    state_ = State::kHeader;
    header_got_ = 0;
    return consumer_->EndFile();
  }

  RecordConsumer* consumer_;
  State state_ = State::kHeader;
  uint8_t header_[kRecordHeaderSize] = {};
  size_t header_got_ = 0;
  uint16_t name_size_ = 0;
  uint32_t data_left_ = 0;
  std::string name_;
};

// Decoded pieces on their way from the decoder to the walker: a few buffers go round, so
// the decoder runs ahead by at most that many.
class ChunkPipe {
 public:
  struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
  };

  bool Allocate() {
    for (size_t i = 0; i < kChunkCount; ++i) {
      Chunk chunk;
      chunk.bytes.reset(new (std::nothrow) uint8_t[kChunkBytes]);
      if (!chunk.bytes) return false;
      free_.push_back(std::move(chunk));
    }
    return true;
  }

  // An empty buffer for the decoder; false once the walker has given up.
  bool TakeFree(Chunk* chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty() || walker_stopped_; });
    if (walker_stopped_) return false;
    *chunk = std::move(free_.back());
    free_.pop_back();
    return true;
  }
  void PutFull(Chunk chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    full_.push_back(std::move(chunk));
    changed_.notify_all();
  }
  // The next decoded piece for the walker; false when the decoder is done and all is taken.
  bool TakeFull(Chunk* chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return next_full_ < full_.size() || decoder_done_; });
    if (next_full_ == full_.size()) return false;
    *chunk = std::move(full_[next_full_++]);
    if (next_full_ == full_.size()) {
      full_.clear();
      next_full_ = 0;
    }
    return true;
  }
  void PutFree(Chunk chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(chunk));
    changed_.notify_all();
  }
  void DecoderDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    decoder_done_ = true;
    changed_.notify_all();
  }
  void WalkerStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    walker_stopped_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Chunk> free_;
  std::vector<Chunk> full_;
  size_t next_full_ = 0;
  bool decoder_done_ = false;
  bool walker_stopped_ = false;
};

class Decoder {
 public:
  Decoder() { LzmaDec_Construct(&state_); }
  ~Decoder() { LzmaDec_Free(&state_, &g_lzma_alloc); }

  // The window need never be larger than the archive: no match reaches back further than
  // what was decoded. A packet declaring a 4 GB dictionary for 12 MB gets 12 MB.
  PacketError Start(const PacketHeader& header) {
    uint8_t props[kLzmaPropsSize];
    std::memcpy(props, header.props, kLzmaPropsSize);
    const uint32_t declared = ReadLe32(props + 1);
    const uint32_t needed = header.unpacked_size > kMinDictionary ? header.unpacked_size : kMinDictionary;
    if (declared > needed) {
      for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(needed >> (8 * i));
    }
    switch (LzmaDec_Allocate(&state_, props, kLzmaPropsSize, &g_lzma_alloc)) {
      case SZ_OK: break;
      case SZ_ERROR_MEM: return PacketError::kOutOfMemory;
      default: return PacketError::kBadProperties;
    }
    LzmaDec_Init(&state_);
    return PacketError::kNone;
  }

  // Up to *size more bytes into `out`; *size becomes what came. A stream that stops giving
  // before the declared size (its input or an end marker reached) is cut short.
  PacketError Next(const uint8_t** in, size_t* in_left, uint8_t* out, size_t* size) {
    SizeT out_size = *size;
    SizeT in_size = *in_left;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    const SRes result = LzmaDec_DecodeToBuf(&state_, out, &out_size, *in, &in_size, LZMA_FINISH_ANY, &status);
    *in += in_size;
    *in_left -= in_size;
    *size = out_size;
    if (result != SZ_OK) return PacketError::kCorruptStream;
    return out_size == 0 ? PacketError::kTruncatedStream : PacketError::kNone;
  }

 private:
  CLzmaDec state_;
};

}  // namespace

PacketError StreamPacket(const uint8_t* packet, size_t size, RecordConsumer* consumer) {
  PacketHeader header;
  PacketError error = ParsePacketHeader(packet, size, &header);
  if (error != PacketError::kNone) return error;
  Decoder decoder;
  error = decoder.Start(header);
  if (error != PacketError::kNone) return error;
  ChunkPipe pipe;
  if (!pipe.Allocate()) return PacketError::kOutOfMemory;

  PacketError walk_error = PacketError::kNone;
  std::thread walker_thread([&] {
    RecordWalker walker(consumer);
    ChunkPipe::Chunk chunk;
    while (walk_error == PacketError::kNone && pipe.TakeFull(&chunk)) {
      walk_error = walker.Feed(chunk.bytes.get(), chunk.size);
      pipe.PutFree(std::move(chunk));
    }
    if (walk_error == PacketError::kNone) walk_error = walker.Finish();
    pipe.WalkerStopped();
  });

  const uint8_t* in = header.stream;
  size_t in_left = header.stream_size;
  size_t out_left = header.unpacked_size;
  PacketError decode_error = PacketError::kNone;
  ChunkPipe::Chunk chunk;
  while (out_left > 0 && pipe.TakeFree(&chunk)) {
    chunk.size = out_left < kChunkBytes ? out_left : kChunkBytes;
    decode_error = decoder.Next(&in, &in_left, chunk.bytes.get(), &chunk.size);
    if (decode_error != PacketError::kNone) break;
    out_left -= chunk.size;
    pipe.PutFull(std::move(chunk));
  }
  pipe.DecoderDone();
  walker_thread.join();
  // A broken stream explains whatever the walker then made of its end.
  return decode_error != PacketError::kNone ? decode_error : walk_error;
}

}  // namespace kelo
