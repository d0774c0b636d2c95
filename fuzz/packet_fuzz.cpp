// Feeds arbitrary bytes to the payload packet reader. The first byte steers: odd, the rest
// is a decoded archive, so the fuzzer reaches the record walk and the names without having
// to get through the decoder first; 0 modulo 4, a whole packet (header, LZMA decode,
// record walk and name checks); 2 modulo 4, a whole packet read both whole and streamed,
// record by record on the streaming reader's second thread, as the installer reads it
// (the byte's upper bits can make the consumer of the records refuse one).
// Every verdict is compared with a walk and a name check written here from the packet
// layout, independently of the reader's code, and the two readers with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "setup/packet.h"
#include "setup/packet_stream.h"

namespace {

using namespace kelo;

// Declared sizes up to this are decoded whole; above it, only this much is decoded, so a
// small input asking for hundreds of megabytes keeps the run fast.
constexpr uint32_t kDecodeCap = 1u << 20;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The name rules spelled out component by component, for comparison with the reader's
// single pass.
bool NameIsPlain(const std::string& name) {
  if (name.empty() || name.size() >= 260) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('\\', start);
    const std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (part.back() == '.' || part.back() == ' ') return false;
    for (unsigned char c : part) {
      if (c < 0x20 || c == 0x7F) return false;
      if (std::string(":*?\"<>|/").find(static_cast<char>(c)) != std::string::npos) return false;
    }
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

void CheckName(const char* name, size_t size) {
  const bool safe = IsSafeArchiveName(name, size);
  const std::string text(name, size);
  Check(safe == NameIsPlain(text));
  if (!safe) return;
  // What the rules are for, said once more in the terms of a path.
  Check(text[0] != '\\' && text.find(':') == std::string::npos);
  Check(text != ".." && text.rfind("..\\", 0) != 0 && text.find("\\..\\") == std::string::npos);
  Check(text.size() < 3 || text.compare(text.size() - 3, 3, "\\..") != 0);
}

struct Walk {
  PacketError verdict = PacketError::kNone;
  std::vector<size_t> records;  // offset of each record header
  size_t end = 0;               // where the last good record ends
};

// The archive as the layout describes it: records while more than a record header's worth
// of bytes is left; the first record that overruns or has an unsafe name decides.
Walk WalkByLayout(const uint8_t* data, size_t size) {
  Walk walk;
  size_t pos = 0;
  while (size - pos > kRecordHeaderSize) {
    const size_t name_size = ReadLe16(data + pos);
    const size_t data_size = ReadLe32(data + pos + 4);
    if (name_size + data_size > size - pos - kRecordHeaderSize) {
      walk.verdict = PacketError::kRecordOverrun;
      break;
    }
    if (!NameIsPlain(std::string(reinterpret_cast<const char*>(data + pos + kRecordHeaderSize), name_size))) {
      walk.verdict = PacketError::kBadName;
      break;
    }
    walk.records.push_back(pos);
    pos += kRecordHeaderSize + name_size + data_size;
  }
  walk.end = pos;
  return walk;
}

size_t OffsetIn(const uint8_t* base, const void* p) {
  return static_cast<size_t>(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base));
}

// The reader's archive check against the walk by layout; for an archive it accepts, every
// record it hands out lies wholly inside the data, in order, with a safe name.
void CheckArchiveWalk(const uint8_t* data, size_t size) {
  const PacketError verdict = CheckArchive(data, size);
  const Walk walk = WalkByLayout(data, size);
  Check(verdict == walk.verdict);
  if (verdict != PacketError::kNone) return;
  Check(size - walk.end <= kRecordHeaderSize);

  size_t index = 0;
  ForEachRecord(data, size, [&](const ArchiveRecord& r) {
    Check(index < walk.records.size());
    const size_t at = walk.records[index++];
    const size_t name_at = OffsetIn(data, r.name);
    const size_t data_at = OffsetIn(data, r.data);
    Check(name_at == at + kRecordHeaderSize && data_at == name_at + r.name_size);
    Check(data_at <= size && r.data_size <= size - data_at);
    Check(r.name_size == ReadLe16(data + at) && r.reserved == ReadLe16(data + at + 2));
    Check(r.data_size == ReadLe32(data + at + 4));
    CheckName(r.name, r.name_size);
    return true;
  });
  Check(index == walk.records.size());

}

void ReadPacket(const uint8_t* packet, size_t size) {
  PacketHeader header;
  const PacketError parsed = ParsePacketHeader(packet, size, &header);
  if (size < kPacketHeaderSize) {
    Check(parsed == PacketError::kTooShort);
    DecodedArchive archive;
    Check(DecodePacket(packet, size, &archive) == PacketError::kTooShort && !archive.data);
    return;
  }
  const uint32_t declared = ReadLe32(packet);
  const size_t stream_size = size - kPacketHeaderSize;
  if (declared > static_cast<uint64_t>(stream_size) * kMaxLzmaExpansion) {
    // More than any stream of this length can give: refused before anything is allocated
    // for it (the run's malloc limit turns such an allocation into a crash).
    DecodedArchive archive;
    Check(DecodePacket(packet, size, &archive) == PacketError::kTruncatedStream && !archive.data);
    Check(parsed == PacketError::kTruncatedStream);
    return;
  }
  Check(parsed == PacketError::kNone);
  Check(header.unpacked_size == declared && std::memcmp(header.props, packet + 4, kLzmaPropsSize) == 0);
  Check(header.stream == packet + kPacketHeaderSize && header.stream_size == stream_size);

  if (declared > kDecodeCap) {
    // One buffer for every run: a fresh megabyte each time would cost more than the decode.
    static const std::unique_ptr<uint8_t[]> capped_out(new uint8_t[kDecodeCap]);
    PacketHeader capped = header;
    capped.unpacked_size = kDecodeCap;
    const PacketError decoded = DecodePacketStream(capped, capped_out.get());
    Check(decoded == PacketError::kNone || decoded == PacketError::kBadProperties ||
          decoded == PacketError::kCorruptStream || decoded == PacketError::kTruncatedStream);
    return;
  }

  // The reader allocates exactly the declared size, so a write past it shows.
  DecodedArchive archive;
  const PacketError result = DecodePacket(packet, size, &archive);
  if (result == PacketError::kNone) {
    Check(archive.data && archive.size == declared);
    CheckArchiveWalk(archive.data.get(), archive.size);
    return;
  }
  Check(!archive.data);
  if (result != PacketError::kRecordOverrun && result != PacketError::kBadName) return;
  // Refused after a good decode: the same stream decoded on its own must walk to the same
  // verdict.
  std::unique_ptr<uint8_t[]> out(new uint8_t[declared]);
  Check(DecodePacketStream(header, out.get()) == PacketError::kNone);
  Check(WalkByLayout(out.get(), declared).verdict == result);
}

// Collects what the streaming reader hands on and checks the order of the calls; refuses
// the call numbered refuse_at, after which no call may come.
class CollectingConsumer : public RecordConsumer {
 public:
  struct File {
    std::string name;
    uint32_t size;
    std::vector<uint8_t> data;
    bool ended;
  };

  explicit CollectingConsumer(size_t refuse_at) : refuse_at_(refuse_at) {}
  bool BeginFile(const char* name, size_t name_size, uint32_t size) override {
    Check(files_.empty() || files_.back().ended);
    CheckName(name, name_size);
    Check(IsSafeArchiveName(name, name_size));
    files_.push_back({std::string(name, name_size), size, {}, false});
    return Answer();
  }
  bool Data(const uint8_t* data, size_t size) override {
    Check(!files_.empty() && !files_.back().ended);
    File& file = files_.back();
    Check(size <= file.size - file.data.size());
    file.data.insert(file.data.end(), data, data + size);
    return Answer();
  }
  bool EndFile() override {
    Check(!files_.empty() && !files_.back().ended);
    Check(files_.back().data.size() == files_.back().size);
    files_.back().ended = true;
    return Answer();
  }
  const std::vector<File>& files() const { return files_; }
  bool refused() const { return calls_ > refuse_at_; }

 private:
  bool Answer() {
    Check(calls_ <= refuse_at_);
    return calls_++ != refuse_at_;
  }

  size_t refuse_at_;
  size_t calls_ = 0;
  std::vector<File> files_;
};

// The streaming reader against the whole one: both accept or both refuse, and what the
// stream handed on is the archive's records in order, ending where the archive went bad.
void StreamPacketBothWays(const uint8_t* packet, size_t size, size_t refuse_at) {
  PacketHeader header;
  if (ParsePacketHeader(packet, size, &header) != PacketError::kNone || header.unpacked_size > kDecodeCap) {
    ReadPacket(packet, size);
    return;
  }
  const uint32_t declared = header.unpacked_size;
  CollectingConsumer consumer(refuse_at);
  const PacketError streamed = StreamPacket(packet, size, &consumer);
  DecodedArchive archive;
  const PacketError whole = DecodePacket(packet, size, &archive);
  if (consumer.refused()) {
    Check(streamed == PacketError::kConsumerFailed || streamed == PacketError::kCorruptStream ||
          streamed == PacketError::kTruncatedStream);
  } else if (declared == 0) {
    // Nothing is decoded for an empty archive, so the stream is never looked at: the whole
    // reader's verdict on it does not carry over, and there is nothing to hand on.
    Check(streamed == PacketError::kNone || streamed == PacketError::kBadProperties);
  } else {
    Check((streamed == PacketError::kNone) == (whole == PacketError::kNone));
    Check(streamed != PacketError::kConsumerFailed);
  }

  // What was handed on, against the records of the decoded archive.
  std::unique_ptr<uint8_t[]> decoded;
  const uint8_t* data = archive.data.get();
  if (!data && (whole == PacketError::kRecordOverrun || whole == PacketError::kBadName)) {
    decoded.reset(new uint8_t[declared]);
    Check(DecodePacketStream(header, decoded.get()) == PacketError::kNone);
    data = decoded.get();
  }
  // A stream that broke has no whole archive to compare with.
  if (!data) return;
  const auto& files = consumer.files();
  const Walk walk = WalkByLayout(data, declared);
  const bool overrun = walk.verdict == PacketError::kRecordOverrun;
  Check(files.size() <= walk.records.size() + (overrun ? 1 : 0));
  for (size_t i = 0; i < files.size(); ++i) {
    // Past the good records only the one that runs past the end, handed on as far as it
    // goes and never ended.
    const bool cut = i == walk.records.size();
    Check(!cut || (!files[i].ended && streamed != PacketError::kNone));
    const ArchiveRecord r = RecordAt(data + (cut ? walk.end : walk.records[i]));
    Check(files[i].name == std::string(r.name, r.name_size) && files[i].size == r.data_size);
    Check(files[i].ended || i + 1 == files.size());
    Check(files[i].data.size() <= declared - OffsetIn(data, r.data));
    Check(files[i].data.empty() || std::memcmp(files[i].data.data(), r.data, files[i].data.size()) == 0);
  }
  if (streamed == PacketError::kNone) Check(files.size() == walk.records.size() && (files.empty() || files.back().ended));
}

void ReadArchive(const uint8_t* data, size_t size) {
  // The name check alone, on names of any length around the limit.
  CheckName(reinterpret_cast<const char*>(data), size < 300 ? size : 300);
  CheckArchiveWalk(data, size);
}

}  // namespace

// libFuzzer hands each input over in a heap block of exactly its length, so a read one
// byte past the packet or archive shows as an AddressSanitizer report.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    ReadArchive(data + 1, size - 1);
  } else if (data[0] & 2) {
    // The upper six bits name the consumer call that refuses (1 the first), 0 for none.
    const size_t refuse = data[0] >> 2;
    StreamPacketBothWays(data + 1, size - 1, refuse == 0 ? SIZE_MAX : refuse - 1);
  } else {
    ReadPacket(data + 1, size - 1);
  }
  return 0;
}
