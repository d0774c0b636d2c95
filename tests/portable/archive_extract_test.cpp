// Writing a decoded archive through a sink: every record is accepted before the first file
// is written, and the walk stops at the first failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packtool/packet_writer.h"
#include "setup/archive_extract.h"

namespace kelo {
namespace {

class RecordingSink : public ArchiveSink {
 public:
  std::string refuse;      // Accept says no to this name
  std::string fail_write;  // Write fails at this name
  std::vector<std::string> accepted, written;

  bool Accept(const ArchiveRecord& r) override {
    accepted.emplace_back(r.name, r.name_size);
    return accepted.back() != refuse;
  }
  bool Write(const ArchiveRecord& r) override {
    const std::string name(r.name, r.name_size);
    if (name == fail_write) return false;
    written.push_back(name + "=" + std::string(reinterpret_cast<const char*>(r.data), r.data_size));
    return true;
  }
};

const std::vector<ArchiveEntry> kFiles = {
    {"KeloBrowser.exe", {'M', 'Z'}}, {"Skin\\a.png", {'p'}}, {"empty.dat", {}}, {"KeloS.ini", {'i'}}};

TEST(ExtractArchive, RefusalOrWriteFailureStopsWhereItMust) {
  const struct {
    const char* refuse;
    const char* fail_write;
    bool ok;
    std::vector<std::string> written;
  } cases[] = {
      {"", "", true, {"KeloBrowser.exe=MZ", "Skin\\a.png=p", "empty.dat=", "KeloS.ini=i"}},
      {"KeloS.ini", "", false, {}},  // refused last: still nothing written
      {"KeloBrowser.exe", "", false, {}},
      {"", "empty.dat", false, {"KeloBrowser.exe=MZ", "Skin\\a.png=p"}},
  };
  const std::vector<uint8_t> archive = BuildArchive(kFiles);
  for (const auto& c : cases) {
    RecordingSink sink;
    sink.refuse = c.refuse;
    sink.fail_write = c.fail_write;
    EXPECT_EQ(ExtractArchive(archive.data(), archive.size(), &sink), c.ok) << c.refuse << c.fail_write;
    EXPECT_EQ(sink.written, c.written) << c.refuse << c.fail_write;
  }
}

TEST(ExtractArchive, TrailingBytesOfAtMostAHeaderAreNoRecord) {
  for (size_t tail : {0u, 1u, 8u}) {
    std::vector<uint8_t> archive = BuildArchive(kFiles);
    archive.resize(archive.size() + tail, 0);
    RecordingSink sink;
    EXPECT_TRUE(ExtractArchive(archive.data(), archive.size(), &sink)) << tail;
    EXPECT_EQ(sink.written.size(), kFiles.size()) << tail;
  }
}

}  // namespace
}  // namespace kelo
