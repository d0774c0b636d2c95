#include "setup/packet_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "base/start_thread.h"
#include "setup/lzma_alloc.h"

namespace kelo {

namespace {

constexpr uint32_t kMinDictionary = 4096;

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

// The decoded bytes in a ring that the decoder writes and the walker reads in place: it
// holds the dictionary (matches reach back into it) and 8 MB more, how far the decoder may
// run ahead of the walker, so a burst of small files to create does not hold up decoding.
// A ring at least as large as the archive never wraps. Positions count from the archive's
// start.
class DecodeRing {
 public:
  DecodeRing() { LzmaDec_Construct(&state_); }
  ~DecodeRing() {
    LzmaDec_FreeProbs(&state_, &g_lzma_alloc);
    delete[] bytes_;
  }
  DecodeRing(const DecodeRing&) = delete;
  DecodeRing& operator=(const DecodeRing&) = delete;

  PacketError Start(const PacketHeader& header) {
    uint8_t props[kLzmaPropsSize];
    std::memcpy(props, header.props, kLzmaPropsSize);
    // The window need never be larger than the archive: no match reaches back further than
    // what was decoded. A packet declaring a 4 GB dictionary for 12 MB gets 12 MB.
    const uint32_t declared = ReadLe32(props + 1);
    const uint32_t needed = header.unpacked_size > kMinDictionary ? header.unpacked_size : kMinDictionary;
    const uint32_t dictionary = declared < needed ? declared : needed;
    for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    switch (LzmaDec_AllocateProbs(&state_, props, kLzmaPropsSize, &g_lzma_alloc)) {
      case SZ_OK: break;
      case SZ_ERROR_MEM: return PacketError::kOutOfMemory;
      default: return PacketError::kBadProperties;
    }
    const uint64_t ring = uint64_t{dictionary} + kAheadBytes;
    size_ = static_cast<size_t>(ring < needed ? ring : needed);
    bytes_ = new (std::nothrow) uint8_t[size_];
    if (!bytes_) return PacketError::kOutOfMemory;
    state_.dic = bytes_;
    state_.dicBufSize = size_;
    LzmaDec_Init(&state_);
    total_ = header.unpacked_size;
    return PacketError::kNone;
  }

  // The decoder's side: the whole stream, a step at a time, each step once the walker has
  // left its place in the ring. Stops early when the walker does.
  PacketError Decode(const uint8_t* in, size_t in_left) {
    PacketError error = PacketError::kNone;
    uint64_t done = 0;
    while (done < total_ && error == PacketError::kNone) {
      // Never more than the ring holds: the room for a step must be able to come free.
      const uint64_t step = std::min<uint64_t>({total_ - done, kStepBytes, size_});
      if (!WaitForRoom(done + step)) break;
      if (state_.dicPos == size_) state_.dicPos = 0;
      const size_t before = state_.dicPos;
      const size_t to_end = size_ - before;
      SizeT in_size = in_left;
      ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
      const SRes result = LzmaDec_DecodeToDic(&state_, before + (step < to_end ? step : to_end), in, &in_size,
                                              LZMA_FINISH_ANY, &status);
      in += in_size;
      in_left -= in_size;
      const size_t got = state_.dicPos - before;
      // A stream that stops giving before the declared size (its input or an end marker
      // reached) is cut short.
      if (result != SZ_OK) error = PacketError::kCorruptStream;
      else if (got == 0) error = PacketError::kTruncatedStream;
      done += got;
      Publish(done);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    decoder_done_ = true;
    changed_.notify_all();
    return error;
  }

  // The preparer's side: writes to each page of the ring once, from its start on, a piece
  // at a time, and hands each piece to the decoder when done. A fresh page costs the system
  // a fault and a clearing when first written; taken here, on another core, that cost stays
  // off the decoder's path (a sixth of the decode's time on our virtual build machine). Stops
  // early when the decoder does.
  void Prepare() {
    for (size_t at = 0; at < size_;) {
      const size_t end = std::min(at + kPrepareBytes, size_);
      // The last byte too: the ring need not begin on a page, so a piece's last page may
      // hold none of the bytes a page apart.
      for (size_t page = at; page < end; page += kPageBytes) bytes_[page] = 0;
      bytes_[end - 1] = 0;
      at = end;
      std::lock_guard<std::mutex> lock(mutex_);
      prepared_ = at;
      changed_.notify_all();
      if (decoder_done_) return;
    }
  }

  void SkipPreparation() {
    std::lock_guard<std::mutex> lock(mutex_);
    prepared_ = size_;
  }

  // The walker's side: the next decoded bytes that lie together in the ring; false when the
  // decoder is done and all is taken. Release them when walked.
  bool Take(const uint8_t** data, size_t* size) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return decoded_ > walked_ || decoder_done_; });
    if (decoded_ == walked_) return false;
    const size_t at = static_cast<size_t>(walked_ % size_);
    const uint64_t ready = decoded_ - walked_;
    *data = bytes_ + at;
    *size = static_cast<size_t>(ready < size_ - at ? ready : size_ - at);
    return true;
  }
  void Release(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    walked_ += size;
    changed_.notify_all();
  }
  void WalkerStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    walker_stopped_ = true;
    changed_.notify_all();
  }

 private:
  // Small enough that the walker starts early and ends soon after the decoder.
  static constexpr size_t kStepBytes = size_t{256} << 10;
#ifdef KELO_DECODE_AHEAD_BYTES
  // Fuzz and test builds make the ring small, so that the archives they try wrap it.
  static constexpr size_t kAheadBytes = KELO_DECODE_AHEAD_BYTES;
#else
  static constexpr size_t kAheadBytes = size_t{8} << 20;
#endif
  // The decoder reads a declared dictionary below its least as that least: the ring must
  // hold such a window too, whatever it declares.
  static_assert(kAheadBytes >= kMinDictionary, "a ring smaller than the decoder's least window");
  // Pieces small enough that the decoder's first wait is short. The page is the smallest of
  // the systems we run on: a byte every such page, and a piece's last, touch every page.
  static constexpr size_t kPrepareBytes = size_t{64} << 10;
  static constexpr size_t kPageBytes = 4096;

  // Until the walker has left the ring's room up to stream position `end` and, on the
  // ring's first round, the preparer has been there.
  bool WaitForRoom(uint64_t end) {
    std::unique_lock<std::mutex> lock(mutex_);
    const size_t prepared = static_cast<size_t>(std::min<uint64_t>(end, size_));
    changed_.wait(lock, [&] { return (end - walked_ <= size_ && prepared_ >= prepared) || walker_stopped_; });
    return !walker_stopped_;
  }
  void Publish(uint64_t decoded) {
    std::lock_guard<std::mutex> lock(mutex_);
    decoded_ = decoded;
    changed_.notify_all();
  }

  CLzmaDec state_ = {};
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
  uint64_t total_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t decoded_ = 0;
  uint64_t walked_ = 0;
  size_t prepared_ = 0;  // bytes of the ring from its start
  bool decoder_done_ = false;
  bool walker_stopped_ = false;
};

}  // namespace

PacketError StreamPacket(const uint8_t* packet, size_t size, RecordConsumer* consumer) {
  PacketHeader header;
  PacketError error = ParsePacketHeader(packet, size, &header);
  if (error != PacketError::kNone) return error;
  DecodeRing ring;
  error = ring.Start(header);
  if (error != PacketError::kNone) return error;

  PacketError walk_error = PacketError::kNone;
  std::thread walker_thread;
  const bool walking = StartThread(&walker_thread, [&] {
    RecordWalker walker(consumer);
    const uint8_t* data = nullptr;
    size_t size = 0;
    while (walk_error == PacketError::kNone && ring.Take(&data, &size)) {
      walk_error = walker.Feed(data, size);
      ring.Release(size);
    }
    if (walk_error == PacketError::kNone) walk_error = walker.Finish();
    ring.WalkerStopped();
  });
  if (!walking) return PacketError::kOutOfMemory;
  // Without a preparer the decoder takes the pages' first touch itself.
  std::thread preparer_thread;
  if (!StartThread(&preparer_thread, [&] { ring.Prepare(); })) ring.SkipPreparation();
  const PacketError decode_error = ring.Decode(header.stream, header.stream_size);
  if (preparer_thread.joinable()) preparer_thread.join();
  walker_thread.join();
  // A broken stream explains whatever the walker then made of its end.
  return decode_error != PacketError::kNone ? decode_error : walk_error;
}

}  // namespace kelo
