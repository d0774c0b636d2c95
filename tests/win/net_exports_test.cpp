// The setup program exports the message channel by name: every constructor, destructor
// and operation of MsgPacket and CSocketMain, and nothing else.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

std::string Demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || !text) return name;
  std::string result(text);
  std::free(text);
  return result;
}

// Each exported member and the names g++ (the Itanium C++ ABI of mingw-w64) gives it in the
// export table: a constructor has a complete-object (C1) and a base-object (C2) entry point,
// a destructor D1 and D2, and the virtual one also the deleting destructor (D0). A client
// built with mingw-w64 g++ binds to these exact names.
struct Member {
  const char* declaration;
  std::vector<const char*> names;
};

const Member kMembers[] = {
    {"MsgPacket::MsgPacket()", {"_ZN9MsgPacketC1Ev", "_ZN9MsgPacketC2Ev"}},
    {"MsgPacket::MsgPacket(MsgPacket const&)", {"_ZN9MsgPacketC1ERKS_", "_ZN9MsgPacketC2ERKS_"}},
    {"MsgPacket::operator=(MsgPacket const&)", {"_ZN9MsgPacketaSERKS_"}},
    {"MsgPacket::~MsgPacket()", {"_ZN9MsgPacketD0Ev", "_ZN9MsgPacketD1Ev", "_ZN9MsgPacketD2Ev"}},
    {"MsgPacket::writeByte(unsigned char)", {"_ZN9MsgPacket9writeByteEh"}},
    {"MsgPacket::writeBoolean(bool)", {"_ZN9MsgPacket12writeBooleanEb"}},
    {"MsgPacket::writeShort(short)", {"_ZN9MsgPacket10writeShortEs"}},
    {"MsgPacket::writeInt(int)", {"_ZN9MsgPacket8writeIntEi"}},
    {"MsgPacket::writeUint(unsigned int)", {"_ZN9MsgPacket9writeUintEj"}},
    {"MsgPacket::writeInt64(long long)", {"_ZN9MsgPacket10writeInt64Ex"}},
    {"MsgPacket::writeBytes(char const*, unsigned int)", {"_ZN9MsgPacket10writeBytesEPKcj"}},
    {"MsgPacket::writeBytes(MsgPacket const*)", {"_ZN9MsgPacket10writeBytesEPKS_"}},
    {"MsgPacket::writeString(char const*, unsigned short)", {"_ZN9MsgPacket11writeStringEPKct"}},
    {"MsgPacket::writeString(char const*)", {"_ZN9MsgPacket11writeStringEPKc"}},
    {"MsgPacket::writeString(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)",
     {"_ZN9MsgPacket11writeStringERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"}},
    {"MsgPacket::readByte()", {"_ZN9MsgPacket8readByteEv"}},
    {"MsgPacket::readUbyte()", {"_ZN9MsgPacket9readUbyteEv"}},
    {"MsgPacket::readBoolean()", {"_ZN9MsgPacket11readBooleanEv"}},
    {"MsgPacket::readShort()", {"_ZN9MsgPacket9readShortEv"}},
    {"MsgPacket::readUshort()", {"_ZN9MsgPacket10readUshortEv"}},
    {"MsgPacket::readInt()", {"_ZN9MsgPacket7readIntEv"}},
    {"MsgPacket::readUint()", {"_ZN9MsgPacket8readUintEv"}},
    {"MsgPacket::readInt64()", {"_ZN9MsgPacket9readInt64Ev"}},
    {"MsgPacket::readBytes(MsgPacket*, unsigned int, unsigned int)", {"_ZN9MsgPacket9readBytesEPS_jj"}},
    {"MsgPacket::readChar(int*, char*)", {"_ZN9MsgPacket8readCharEPiPc"}},
    {"MsgPacket::readString[abi:cxx11]()", {"_ZN9MsgPacket10readStringB5cxx11Ev"}},
    {"CSocketMain::CSocketMain()", {"_ZN11CSocketMainC1Ev", "_ZN11CSocketMainC2Ev"}},
    {"CSocketMain::~CSocketMain()", {"_ZN11CSocketMainD1Ev", "_ZN11CSocketMainD2Ev"}},
    {"CSocketMain::Init(wchar_t const*, unsigned int)", {"_ZN11CSocketMain4InitEPKwj"}},
    {"CSocketMain::Start()", {"_ZN11CSocketMain5StartEv"}},
    {"CSocketMain::Stop()", {"_ZN11CSocketMain4StopEv"}},
    {"CSocketMain::SendMsg(int, char const*, unsigned int)", {"_ZN11CSocketMain7SendMsgEiPKcj"}},
    {"CSocketMain::RecvMsg(unsigned int*, unsigned short*, char*)", {"_ZN11CSocketMain7RecvMsgEPjPtPc"}},
    {"CSocketMain::RunSendThread()", {"_ZN11CSocketMain13RunSendThreadEv"}},
    {"CSocketMain::RunRecvThread()", {"_ZN11CSocketMain13RunRecvThreadEv"}},
};

// 35 members, 41 names: the README gives these figures to clients.
constexpr size_t kMemberCount = 35;
constexpr size_t kNameCount = 41;

TEST(NetExports, SetupProgramExportsExactlyTheNamesOfEveryMemberOfBothClasses) {
  const kelo::test::PeImage image = kelo::test::ReadPeImage(KELO_SETUP_EXE);
  ASSERT_TRUE(image.valid) << KELO_SETUP_EXE;

  std::set<std::string> expected;
  for (const Member& member : kMembers) expected.insert(member.names.begin(), member.names.end());
  ASSERT_EQ(std::size(kMembers), kMemberCount);
  ASSERT_EQ(expected.size(), kNameCount);

  EXPECT_EQ(image.exported_names.size(), kNameCount);
  const std::set<std::string> exported(image.exported_names.begin(), image.exported_names.end());
  EXPECT_EQ(exported.size(), image.exported_names.size()) << "a name is exported twice";
  for (const std::string& name : expected)
    EXPECT_EQ(exported.count(name), 1u) << "missing: " << name << " (" << Demangle(name) << ")";
  for (const std::string& name : exported)
    EXPECT_EQ(expected.count(name), 1u) << "unexpected export: " << name << " (" << Demangle(name) << ")";
  // The loader finds a name by binary search: the table must be in byte order.
  EXPECT_TRUE(std::is_sorted(image.exported_names.begin(), image.exported_names.end()));
}

TEST(NetExports, EveryNameInTheTableBelongsToItsMember) {
  for (const Member& member : kMembers)
    for (const char* name : member.names) EXPECT_EQ(Demangle(name), member.declaration) << name;
}

TEST(NetExports, SetupProgramBindsWinsockForTheChannel) {
  const kelo::test::PeImage image = kelo::test::ReadPeImage(KELO_SETUP_EXE);
  ASSERT_TRUE(image.valid);
  bool winsock = false;
  for (std::string dll : image.imported_dlls) {
    for (char& c : dll) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    winsock |= dll == "ws2_32.dll";
  }
  EXPECT_TRUE(winsock) << "the socket client binds Winsock at load time";
}

}  // namespace
