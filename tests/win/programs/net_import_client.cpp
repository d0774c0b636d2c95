// A client of the message channel as the README describes one: built with mingw-w64 g++
// from the channel's headers with KELO_NET_IMPORT and linked against the setup program's
// import library. It calls every exported member, so linking it fails when the import
// library and the headers part ways. Building it is the check; it is not run, because the
// setup program loaded as a library does not work (see the README).
#include <string>

#include "net/msg_packet.h"
#include "net/socket_main.h"

namespace {

int UseEveryMember() {
  MsgPacket packet;
  packet.writeByte(1);
  packet.writeBoolean(true);
  packet.writeShort(2);
  packet.writeInt(3);
  packet.writeUint(4);
  packet.writeInt64(5);
  packet.writeBytes("ab", 2);
  packet.writeString("cd", 2);
  packet.writeString("ef");
  packet.writeString(std::string("gh"));
  MsgPacket copy(packet);
  copy = packet;
  copy.writeBytes(&packet);
  int sum = packet.readByte() + packet.readUbyte() + packet.readBoolean() + packet.readShort() +
            packet.readUshort() + packet.readInt() + static_cast<int>(packet.readUint()) +
            static_cast<int>(packet.readInt64());
  packet.readBytes(&copy, 0, 1);
  int length = 0;
  char text[MsgPacket::kCapacity];
  packet.readChar(&length, text);
  sum += static_cast<int>(packet.readString().size());
  MsgPacket* owned = new MsgPacket;  // deleted through the virtual destructor
  delete owned;

  CSocketMain client;
  client.Init(L"127.0.0.1", 1);
  if (client.Start()) {
    client.SendMsg(2, "ij", 1);
    unsigned int id = 0;
    unsigned short size = 0;
    client.RecvMsg(&id, &size, text);
    client.Stop();
  }
  return sum + client.RunSendThread() + client.RunRecvThread();
}

}  // namespace

// The calls are behind an argument the compiler cannot know, so every one is linked.
int main(int argc, char**) { return argc > 1 ? UseEveryMember() : 0; }
