// The payload packet: what the packer writes, the reader gives back, and every packet the
// installer must refuse before writing anything.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/device_name.h"
#include "packtool/packet_writer.h"
#include "setup/crc32.h"
#include "setup/packet.h"
#include "setup/packet_stream.h"
#include "setup/sha256.h"

namespace kelo {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Pack(const std::vector<uint8_t>& archive, PacketOptions options = {}) {
  std::vector<uint8_t> packet;
  EXPECT_TRUE(CompressPacket(archive, options, &packet));
  return packet;
}

std::vector<ArchiveEntry> ReadBack(const DecodedArchive& archive, std::vector<uint16_t>* reserved = nullptr) {
  std::vector<ArchiveEntry> entries;
  ForEachRecord(archive.data.get(), archive.size, [&](const ArchiveRecord& r) {
    entries.push_back({std::string(r.name, r.name_size), std::vector<uint8_t>(r.data, r.data + r.data_size)});
    if (reserved) reserved->push_back(r.reserved);
    return true;
  });
  return entries;
}

// Every record the installer's streaming reader hands on.
class Collector : public RecordConsumer {
 public:
  bool BeginFile(const char* name, size_t name_size, uint32_t) override {
    records.push_back({std::string(name, name_size), {}});
    return true;
  }
  bool Data(const uint8_t* data, size_t size) override {
    records.back().data.insert(records.back().data.end(), data, data + size);
    return true;
  }
  bool EndFile() override { return ++ended, true; }

  std::vector<ArchiveEntry> records;
  size_t ended = 0;
};

// The packer's check reads a packet whole; the installer reads it as a stream, a record at
// a time. Both must come to one verdict on every packet, and to the same records.
PacketError DecodeBothWays(const std::vector<uint8_t>& packet, DecodedArchive* decoded) {
  const PacketError whole = DecodePacket(packet.data(), packet.size(), decoded);
  Collector streamed;
  EXPECT_EQ(StreamPacket(packet.data(), packet.size(), &streamed), whole) << "read as a stream";
  if (whole == PacketError::kNone) {
    const std::vector<ArchiveEntry> records = ReadBack(*decoded);
    EXPECT_EQ(streamed.records.size(), records.size()) << "read as a stream";
    for (size_t i = 0; i < records.size() && i < streamed.records.size(); ++i) {
      EXPECT_EQ(streamed.records[i].name, records[i].name) << "read as a stream";
      EXPECT_EQ(streamed.records[i].data, records[i].data) << "read as a stream: " << records[i].name;
    }
    EXPECT_EQ(streamed.ended, streamed.records.size()) << "read as a stream: a record left open";
  }
  return whole;
}

const std::vector<ArchiveEntry> kSample = {
    {"KeloBrowser.exe", Bytes("MZ browser")},
    {"Skin\\default\\skin.ini", Bytes("[Skin]\r\n")},
    {"Plugins\\empty.dat", {}},
    {"KeloS.ini", Bytes("[StatInfo]\r\n")},
};

TEST(Packet, RoundTripKeepsEveryRecordInOrderWithEmptyFiles) {
  const std::vector<uint8_t> archive = BuildArchive(kSample);
  DecodedArchive decoded;
  ASSERT_EQ(DecodeBothWays(Pack(archive), &decoded), PacketError::kNone);
  ASSERT_EQ(decoded.size, archive.size());
  const std::vector<ArchiveEntry> back = ReadBack(decoded);
  ASSERT_EQ(back.size(), kSample.size());
  for (size_t i = 0; i < kSample.size(); ++i) {
    EXPECT_EQ(back[i].name, kSample[i].name);
    EXPECT_EQ(back[i].data, kSample[i].data) << kSample[i].name;
  }
}

TEST(Packet, HeaderCarriesSizeAndPropertiesLittleEndian) {
  const std::vector<uint8_t> archive = BuildArchive(kSample);
  const std::vector<uint8_t> packet = Pack(archive);
  PacketHeader header;
  ASSERT_EQ(ParsePacketHeader(packet.data(), packet.size(), &header), PacketError::kNone);
  EXPECT_EQ(header.unpacked_size, archive.size());
  EXPECT_EQ(packet[4], 0x5D);  // lc 3, lp 0, pb 2
  EXPECT_EQ(ReadLe32(&packet[5]), 1u << 24);
  EXPECT_EQ(header.stream_size, packet.size() - 9);
}

TEST(Packet, ReservedFieldOfAnyValueIsIgnored) {
  for (uint16_t reserved : {uint16_t{0}, uint16_t{24}, uint16_t{0xFFFF}}) {
    DecodedArchive decoded;
    const std::vector<uint8_t> packet = Pack(BuildArchive(kSample, reserved));
    ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone) << reserved;
    std::vector<uint16_t> seen;
    EXPECT_EQ(ReadBack(decoded, &seen).size(), kSample.size());
    EXPECT_EQ(seen, std::vector<uint16_t>(kSample.size(), reserved));
  }
}

TEST(Packet, TrailingRemainderOfEightBytesOrFewerIsIgnored) {
  for (size_t extra = 1; extra <= 8; ++extra) {
    std::vector<uint8_t> archive = BuildArchive(kSample);
    // A remainder that would announce a huge record if it were read.
    archive.insert(archive.end(), extra, 0xFF);
    DecodedArchive decoded;
    const std::vector<uint8_t> packet = Pack(archive);
    ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone) << extra;
    EXPECT_EQ(ReadBack(decoded).size(), kSample.size()) << extra;
  }
}

TEST(Packet, RecordHeaderEndingExactlyAtTheEndIsNotRead) {
  // N = 0, S = 0: read as a record it would be a file with an empty name.
  std::vector<uint8_t> archive = BuildArchive(kSample);
  archive.insert(archive.end(), {0, 0, 24, 0, 0, 0, 0, 0});
  EXPECT_EQ(CheckArchive(archive.data(), archive.size()), PacketError::kNone);
  size_t count = 0;
  ForEachRecord(archive.data(), archive.size(), [&](const ArchiveRecord&) { return ++count, true; });
  EXPECT_EQ(count, kSample.size());
  DecodedArchive decoded;
  ASSERT_EQ(DecodeBothWays(Pack(archive), &decoded), PacketError::kNone);
  EXPECT_EQ(ReadBack(decoded).size(), kSample.size());
}

TEST(Packet, ArchivesOfEightBytesOrFewerHoldNoRecords) {
  for (size_t size = 0; size <= 8; ++size) {
    const std::vector<uint8_t> archive(size, 0x41);
    EXPECT_EQ(CheckArchive(archive.data(), archive.size()), PacketError::kNone);
    DecodedArchive decoded;
    const std::vector<uint8_t> packet = Pack(archive);
    ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone) << size;
    EXPECT_TRUE(ReadBack(decoded).empty());
  }
}

TEST(Packet, StreamWithOrWithoutEndMarkerStopsAtDeclaredSize) {
  const std::vector<uint8_t> archive = BuildArchive(kSample);
  for (bool marker : {false, true}) {
    PacketOptions options;
    options.end_marker = marker;
    const std::vector<uint8_t> packet = Pack(archive, options);
    DecodedArchive decoded;
    ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone) << marker;
    EXPECT_EQ(std::vector<uint8_t>(decoded.data.get(), decoded.data.get() + decoded.size), archive);
  }
}

TEST(Packet, DeclaredSizeSmallerThanTheStreamDecodesOnlyThatMuch) {
  const std::vector<uint8_t> archive = BuildArchive(kSample);
  std::vector<uint8_t> packet = Pack(archive);
  const uint32_t first_record = 8 + 15 + 10;  // "KeloBrowser.exe" with "MZ browser"
  for (int i = 0; i < 4; ++i) packet[i] = static_cast<uint8_t>(first_record >> (8 * i));
  DecodedArchive decoded;
  ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone);
  ASSERT_EQ(ReadBack(decoded).size(), 1u);
}

TEST(Packet, RefusesPacketsThatCannotBeDecodedCompletely) {
  const std::vector<uint8_t> archive = BuildArchive(kSample);
  const std::vector<uint8_t> good = Pack(archive);
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
    PacketError expected;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", {}, PacketError::kTooShort});
  cases.push_back({"header only, 8 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 8), PacketError::kTooShort});
  cases.push_back({"header without stream", std::vector<uint8_t>(good.begin(), good.begin() + 9), PacketError::kTruncatedStream});
  cases.push_back({"truncated stream", std::vector<uint8_t>(good.begin(), good.end() - 8), PacketError::kTruncatedStream});
  std::vector<uint8_t> bad_props = good;
  bad_props[4] = 225;  // beyond (4 * 5 + 4) * 9 + 8
  cases.push_back({"unsupported properties", bad_props, PacketError::kBadProperties});
  std::vector<uint8_t> corrupt = good;
  corrupt[9] = 0xFF;  // an LZMA stream always starts with a zero byte
  cases.push_back({"corrupt stream", corrupt, PacketError::kCorruptStream});
  // An end marker well before the declared size: the decoder stops early.
  PacketOptions marked;
  marked.end_marker = true;
  std::vector<uint8_t> short_marked = Pack(archive, marked);
  const uint32_t larger = static_cast<uint32_t>(archive.size() + 100);
  for (int i = 0; i < 4; ++i) short_marked[i] = static_cast<uint8_t>(larger >> (8 * i));
  cases.push_back({"end marker before declared size", short_marked, PacketError::kTruncatedStream});
  for (const Case& c : cases) {
    DecodedArchive decoded;
    EXPECT_EQ(DecodeBothWays(c.packet, &decoded), c.expected) << c.what;
    EXPECT_EQ(decoded.data, nullptr) << c.what;
  }
}

TEST(Packet, RefusesAnUnpackedSizeTheStreamCannotGiveBeforeAllocatingIt) {
  // Found by fuzzing: ten bytes declaring 1,560,227,374 unpacked bytes had the reader
  // allocate all of them before the decoder found the one-byte stream short.
  const std::vector<uint8_t> found = {0x2E, 0x2E, 0xFF, 0x5C, 0x2E, 0x2E, 0xFF, 0xFF, 0xFF, 0x8E};
  PacketHeader header;
  EXPECT_EQ(ParsePacketHeader(found.data(), found.size(), &header), PacketError::kTruncatedStream);
  DecodedArchive decoded;
  EXPECT_EQ(DecodeBothWays(found, &decoded), PacketError::kTruncatedStream);
  EXPECT_EQ(decoded.data, nullptr);

  struct Case {
    size_t stream_size;
    uint32_t unpacked_size;
    PacketError expected;
  };
  const Case cases[] = {
      {0, 0, PacketError::kNone},
      {0, 1, PacketError::kTruncatedStream},
      {1, 16384, PacketError::kNone},
      {1, 16385, PacketError::kTruncatedStream},
      {5, 5 * 16384, PacketError::kNone},
      {5, 5 * 16384 + 1, PacketError::kTruncatedStream},
      {5, 0xFFFFFFFF, PacketError::kTruncatedStream},
      {262144, 0xFFFFFFFF, PacketError::kNone},  // 4 GiB from 256 KiB: not ruled out
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> packet(kPacketHeaderSize + c.stream_size, 0);
    for (int i = 0; i < 4; ++i) packet[i] = static_cast<uint8_t>(c.unpacked_size >> (8 * i));
    EXPECT_EQ(ParsePacketHeader(packet.data(), packet.size(), &header), c.expected)
        << c.unpacked_size << " bytes from a stream of " << c.stream_size;
  }

  // The most compressible content there is stays well inside the bound.
  const std::vector<uint8_t> zeros = BuildArchive({{"zeros.bin", std::vector<uint8_t>(4 << 20, 0)}});
  const std::vector<uint8_t> packet = Pack(zeros);
  ASSERT_EQ(DecodeBothWays(packet, &decoded), PacketError::kNone);
  EXPECT_LT(zeros.size() / (packet.size() - kPacketHeaderSize), kMaxLzmaExpansion / 2);
}

TEST(Packet, RefusesRecordsThatRunPastTheArchive) {
  std::vector<uint8_t> archive = BuildArchive({{"a.txt", Bytes("hello")}});
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"name runs past the end", 0, {0xFF, 0x00}},
      {"data runs past the end by one", 4, {6, 0, 0, 0}},
      {"data size near 4 GiB", 4, {0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = archive;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + c.offset);
    EXPECT_EQ(CheckArchive(bad.data(), bad.size()), PacketError::kRecordOverrun) << c.what;
    DecodedArchive decoded;
    const std::vector<uint8_t> packet = Pack(bad);
    EXPECT_EQ(DecodeBothWays(packet, &decoded), PacketError::kRecordOverrun) << c.what;
  }
  // A bad record after good ones refuses the whole packet.
  std::vector<uint8_t> tail = BuildArchive({{"good.txt", Bytes("ok")}, {"b.txt", Bytes("xy")}});
  tail[tail.size() - 2 - 5 - 4] = 9;  // b.txt's data size low byte
  EXPECT_EQ(CheckArchive(tail.data(), tail.size()), PacketError::kRecordOverrun);
  DecodedArchive decoded;
  EXPECT_EQ(DecodeBothWays(Pack(tail), &decoded), PacketError::kRecordOverrun);
}

// The names a plain Windows path opens a device for, whatever follows the dot, in any
// letter case; a port's superscript digit as code page 1252 has it or as UTF-8.
TEST(Packet, DeviceNamesAreKnownInEveryCaseAndSpelling) {
  const char* const devices[] = {"nul",   "NUL",      "con.txt",       "Aux .log",     "prn",
                                 "CONIN$", "conout$.x", "COM1",         "lpt9.dll",     "com\xb9",
                                 "LPT\xb3.txt", "COM\xc2\xb9", "lpt\xc2\xb2.log", "nul.tar.gz"};
  for (const char* name : devices) EXPECT_TRUE(IsDeviceName(name)) << '"' << name << '"';
  const char* const files[] = {"null",  "console", "com",  "COM0",         "com10", "lpt",
                               "coma",  "aux1",    "xnul", "COM\xc2\xb4", "COM\xb4", "nul_", "con-1.txt"};
  for (const char* name : files) EXPECT_FALSE(IsDeviceName(name)) << '"' << name << '"';
}

TEST(Packet, AcceptsOnlyNamesThatStayInsideTheInstallDirectory) {
  const std::string longest(259, 'a');
  const std::string too_long(260, 'a');
  const char* const safe[] = {"a", "KeloBrowser.exe", "Skin\\default\\bg.png", "..a", "a..b", ".hidden",
                              "Lib\\x y.dll", "\xb2\xe2\xca\xd4.txt"};
  for (const char* name : safe) EXPECT_TRUE(IsSafeArchiveName(name, strlen(name))) << name;
  EXPECT_TRUE(IsSafeArchiveName(longest.data(), longest.size()));

  const char* const unsafe[] = {"",        ".",        "..",          "..\\x",     "a\\..\\..\\x", "a\\.\\b",
                                "\\a",     "\\\\srv\\x", "C:\\x",     "C:x",       "a:b",          "file.txt:ads",
                                "a\\",     "a\\\\b",   "a/b",         "../x",      "a.",           "a ",
                                "dir.\\x", "a*b",      "a?b",         "a|b",       "a<b",          "a\"b",
                                "a\tb"};
  for (const char* name : unsafe) EXPECT_FALSE(IsSafeArchiveName(name, strlen(name))) << '"' << name << '"';
  EXPECT_FALSE(IsSafeArchiveName(too_long.data(), too_long.size()));
  EXPECT_FALSE(IsSafeArchiveName("a\0b", 3));

  for (const char* name : {"..\\evil.exe", "C:\\evil.exe", "a\\..\\..\\evil.exe"}) {
    std::vector<uint8_t> archive = BuildArchive({{"ok.txt", Bytes("1")}, {name, Bytes("2")}});
    EXPECT_EQ(CheckArchive(archive.data(), archive.size()), PacketError::kBadName) << name;
    DecodedArchive decoded;
    EXPECT_EQ(DecodeBothWays(Pack(archive), &decoded), PacketError::kBadName) << name;
  }
}

// The packer refuses what the installer would refuse or misread on Windows.
TEST(Packet, PackerFindsNamesTheInstallerWouldRefuseOrMisread) {
  const struct {
    std::vector<std::string> names;
    bool problem;
  } cases[] = {
      {{"KeloBrowser.exe", "Lib\\a.dll", "Lib\\b.dll", "console.txt", "com10.txt", "lpt0", "Data\\x"}, false},
      {{"KeloSetup.ledger"}, true},
      {{"kelosetup.new\\a"}, true},
      {{"Lib\\KeloSetup.ledger"}, false},  // only the install directory's own names are kept
      {{"README.txt", "readme.TXT"}, true},
      {{"Lib\\a.dll", "LIB\\A.DLL"}, true},
      {{"Lib", "lib\\x.dll"}, true},  // a file where the install makes a folder
      {{"lib\\x.dll", "LIB"}, true},
      {{"Lib.dll", "Lib\\x.dll"}, false},
      {{"nul"}, true},
      {{"CON.txt"}, true},
      {{"Lib\\aux\\x.dll"}, true},
      {{"COM1"}, true},
      {{"lpt9.log"}, true},
      {{"conout$"}, true},
      {{"nul .txt"}, true},  // spaces before the extension go before the device check
      {{"Lib\\con  .log"}, true},
      {{"com1 "}, true},
      {{"\xb9" "com.txt", "lpt\xb9x"}, false},
      {{"com\xb9.txt"}, true},  // superscript digits name ports too (code page 1252)
      {{"LPT\xb2"}, true},
      {{"lpt\xb3.dat"}, true},
      // Shaped like a short name, which may be another file's on the user's volume.
      {{"Plugins\\abcdef~1.dll"}, true},
      {{"PROGR~12\\x.dll"}, true},
      {{"AB12~1"}, true},
      {{"a~b.txt", "~1.txt", "a~.txt", "abcdefg~1.txt", "abc~1.html", "a.b~1"}, false},
  };
  for (const auto& c : cases) {
    const std::string problem = PayloadNameProblem(c.names);
    EXPECT_EQ(!problem.empty(), c.problem) << c.names.back() << ": " << problem;
  }
}

std::string Hex(const uint8_t (&digest)[kSha256Size]) {
  std::string hex;
  for (uint8_t byte : digest) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  return hex;
}

// The ledger's checksum is the standard CRC-32, as a later installer reading an earlier
// one's journal computes it, however the bytes come in pieces.
TEST(LedgerChecksum, IsTheStandardCrc32InAnyPieces) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(0, check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, "", 0), 0u);
  for (size_t cut = 0; cut <= check.size(); ++cut)
    EXPECT_EQ(Crc32(Crc32(0, check.data(), cut), check.data() + cut, check.size() - cut), 0xCBF43926u) << cut;

  // Against the checksum's definition taken a bit at a time: eight equal bytes from the
  // start read every table entry of the eight-byte step (the first four positions take the
  // byte against the starting state) and of the byte-at-a-time tail; a long varied run
  // checks the state carried between steps and between pieces.
  const auto bitwise = [](const std::string& bytes) {
    uint32_t crc = ~0u;
    for (unsigned char byte : bytes) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
  };
  for (int value = 0; value < 256; ++value) {
    const std::string run(8, static_cast<char>(value));
    EXPECT_EQ(Crc32(0, run.data(), run.size()), bitwise(run)) << value;
    EXPECT_EQ(Crc32(0, run.data(), 1), bitwise(run.substr(0, 1))) << value;
  }
  std::string bytes(256 * 9, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / 8 + i * 31);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{7}, size_t{1001}})
    EXPECT_EQ(Crc32(Crc32(0, bytes.data(), cut), bytes.data() + cut, bytes.size() - cut), bitwise(bytes)) << cut;
}

// The payload's digest: the packer's machine and a user's may take different paths (the
// processor's SHA instructions, or none), and both must give the standard's digests, at
// every length around the block and padding edges.
TEST(PayloadDigest, KnownDigestsAndBothPathsAgreeAtEveryLength) {
  const struct {
    std::string text;
    const char* digest;
  } known[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  uint8_t digest[kSha256Size];
  for (const auto& k : known) {
    Sha256(k.text.data(), k.text.size(), digest);
    EXPECT_EQ(Hex(digest), k.digest) << k.text.size() << " bytes";
    Sha256Portable(k.text.data(), k.text.size(), digest);
    EXPECT_EQ(Hex(digest), k.digest) << k.text.size() << " bytes, plain";
  }
  std::vector<uint8_t> bytes((size_t{1} << 20) + 3);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
  std::vector<size_t> sizes;
  for (size_t size = 0; size <= 200; ++size) sizes.push_back(size);
  sizes.push_back(bytes.size());
  uint8_t plain[kSha256Size];
  for (size_t size : sizes) {
    Sha256(bytes.data(), size, digest);
    Sha256Portable(bytes.data(), size, plain);
    ASSERT_EQ(Hex(digest), Hex(plain)) << size << " bytes";
  }
  // Both paths were the plain one: said, not passed over in silence.
  if (!Sha256UsesProcessor()) GTEST_SKIP() << "no SHA instructions here: the processor's path was not tried";
}

}  // namespace
}  // namespace kelo
