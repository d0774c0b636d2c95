#pragma once
// Builds payload packets: the record archive and its LZMA-compressed packet. Used by the
// host packer, the tests and the benchmarks; the installer itself only reads packets.
#include <cstdint>
#include <string>
#include <vector>

#include "setup/packet.h"

namespace kelo {

struct ArchiveEntry {
  std::string name;  // backslash-separated, relative
  std::vector<uint8_t> data;
};

struct PacketOptions {
  uint32_t dictionary_size = 1u << 24;
  int level = 9;
  bool end_marker = false;  // the installer needs none; tests use one to prove it is tolerated
};

// What the installer would refuse or misread among a payload's names, beyond the packet's
// own rules: a name it keeps for itself, two names Windows takes for one (letter case; a
// file and a folder too), a device name Windows opens instead of a file (CON, NUL, COM1,
// ... whatever follows the dot). Empty when there is nothing.
std::string PayloadNameProblem(const std::vector<std::string>& names);
// The first of `required` that no name equals, in any letter case (as the installer looks
// for it); empty when all are there.
std::string MissingName(const std::vector<std::string>& names, const std::vector<std::string>& required);

// Records back to back: name length, reserved, data size, name, data.
std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntry>& entries,
                                  uint16_t reserved = kRecordReserved);

// Unpacked size, the 5-byte properties and the raw stream. False if the encoder failed.
bool CompressPacket(const std::vector<uint8_t>& archive, const PacketOptions& options,
                    std::vector<uint8_t>* packet);

}  // namespace kelo
