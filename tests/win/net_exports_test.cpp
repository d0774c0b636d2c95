// The setup program exports the message channel by name: every constructor, destructor
// and operation of MsgPacket and CSocketMain, and nothing else.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

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

const char* const kExpected[] = {
    "MsgPacket::MsgPacket()",
    "MsgPacket::MsgPacket(MsgPacket const&)",
    "MsgPacket::operator=(MsgPacket const&)",
    "MsgPacket::~MsgPacket()",
    "MsgPacket::writeByte(unsigned char)",
    "MsgPacket::writeBoolean(bool)",
    "MsgPacket::writeShort(short)",
    "MsgPacket::writeInt(int)",
    "MsgPacket::writeUint(unsigned int)",
    "MsgPacket::writeInt64(long long)",
    "MsgPacket::writeBytes(char const*, unsigned int)",
    "MsgPacket::writeBytes(MsgPacket const*)",
    "MsgPacket::writeString(char const*, unsigned short)",
    "MsgPacket::writeString(char const*)",
    "MsgPacket::writeString(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)",
    "MsgPacket::readByte()",
    "MsgPacket::readUbyte()",
    "MsgPacket::readBoolean()",
    "MsgPacket::readShort()",
    "MsgPacket::readUshort()",
    "MsgPacket::readInt()",
    "MsgPacket::readUint()",
    "MsgPacket::readInt64()",
    "MsgPacket::readBytes(MsgPacket*, unsigned int, unsigned int)",
    "MsgPacket::readChar(int*, char*)",
    "MsgPacket::readString[abi:cxx11]()",
    "CSocketMain::CSocketMain()",
    "CSocketMain::~CSocketMain()",
    "CSocketMain::Init(wchar_t const*, unsigned int)",
    "CSocketMain::Start()",
    "CSocketMain::Stop()",
    "CSocketMain::SendMsg(int, char const*, unsigned int)",
    "CSocketMain::RecvMsg(unsigned int*, unsigned short*, char*)",
    "CSocketMain::RunSendThread()",
    "CSocketMain::RunRecvThread()",
};

TEST(NetExports, SetupProgramExportsEveryMemberOfBothClassesAndNothingElse) {
  const kelo::test::PeImage image = kelo::test::ReadPeImage(KELO_SETUP_EXE);
  ASSERT_TRUE(image.valid) << KELO_SETUP_EXE;
  std::set<std::string> mangled(image.exported_names.begin(), image.exported_names.end());
  std::set<std::string> exported;
  for (const std::string& name : image.exported_names) exported.insert(Demangle(name));

  const std::set<std::string> expected(std::begin(kExpected), std::end(kExpected));
  for (const std::string& name : expected) EXPECT_EQ(exported.count(name), 1u) << "missing: " << name;
  for (const std::string& name : exported) EXPECT_EQ(expected.count(name), 1u) << "unexpected export: " << name;

  // The forms a caller's compiler binds to: complete-object constructors and destructors,
  // and the deleting destructor behind the virtual one.
  for (const char* name : {"_ZN9MsgPacketC1Ev", "_ZN9MsgPacketC1ERKS_", "_ZN9MsgPacketD1Ev", "_ZN9MsgPacketD0Ev",
                           "_ZN11CSocketMainC1Ev", "_ZN11CSocketMainD1Ev"})
    EXPECT_EQ(mangled.count(name), 1u) << "missing: " << name;
}

TEST(NetExports, SetupProgramImportsOnlyKnownDllsForTheChannel) {
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
