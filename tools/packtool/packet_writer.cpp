#include "packtool/packet_writer.h"

#include <cstdlib>
#include <iterator>
#include <set>

#include "LzmaEnc.h"
#include "base/device_name.h"
#include "base/product.h"
#include "setup/install_transaction.h"

namespace kelo {

namespace {
void* Alloc(void*, size_t size) { return size ? std::malloc(size) : nullptr; }
void Free(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {Alloc, Free};

void PutLe16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

// Shaped like a short name Windows makes for a long one ("ABCDEF~1.DLL", "AB12~1"): on a
// volume with short names, such a name may open another file of the payload, or of the user.
bool IsShortNameShape(const std::string& component) {
  const size_t dot = component.rfind('.');
  const std::string base = component.substr(0, dot);
  if (base.size() > 8 || (dot != std::string::npos && component.size() - dot - 1 > 3)) return false;
  const size_t tilde = base.rfind('~');
  return tilde != std::string::npos && tilde > 0 && tilde + 1 < base.size() &&
         base.find_first_not_of("0123456789", tilde + 1) == std::string::npos;
}
}  // namespace

std::string PayloadNameProblem(const std::vector<std::string>& names) {
  // The setup program deletes a file of this name from the install directory as it ends (an
  // earlier setup program's leftover): installed, it would be gone after every install.
  const std::string old_packet(std::begin(kLegacyPacketFileName), std::end(kLegacyPacketFileName) - 1);
  // A file and a folder whose names differ only in letter case are one name on Windows: the
  // install would find a file where it makes the folder.
  std::set<std::string> folders;
  for (const std::string& name : names)
    for (size_t slash = name.find('\\'); slash != std::string::npos; slash = name.find('\\', slash + 1))
      folders.insert(Lower(name.substr(0, slash)));
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (folders.count(Lower(name))) return "a file and a folder of the same name: " + name;
    if (IsReservedName(name)) return "a name the installer keeps for itself: " + name;
    if (Lower(name) == Lower(old_packet)) return "a name the installer deletes as it ends: " + name;
    if (!seen.insert(Lower(name)).second) return "names that differ only in letter case: " + name;
    for (size_t start = 0, end; start <= name.size(); start = end + 1) {
      end = name.find('\\', start);
      if (end == std::string::npos) end = name.size();
      if (IsDeviceName(name.substr(start, end - start))) return "a device name: " + name;
      if (IsShortNameShape(name.substr(start, end - start)))
        return "a name shaped like another's short name: " + name;
    }
  }
  return std::string();
}

std::string MissingName(const std::vector<std::string>& names, const std::vector<std::string>& required) {
  std::set<std::string> held;
  for (const std::string& name : names) held.insert(Lower(name));
  for (const std::string& name : required)
    if (!held.count(Lower(name))) return name;
  return std::string();
}

std::vector<uint8_t> BuildArchive(const std::vector<ArchiveEntry>& entries, uint16_t reserved) {
  std::vector<uint8_t> archive;
  for (const ArchiveEntry& entry : entries) {
    PutLe16(&archive, static_cast<uint16_t>(entry.name.size()));
    PutLe16(&archive, reserved);
    PutLe32(&archive, static_cast<uint32_t>(entry.data.size()));
    archive.insert(archive.end(), entry.name.begin(), entry.name.end());
    archive.insert(archive.end(), entry.data.begin(), entry.data.end());
  }
  return archive;
}

bool CompressPacket(const std::vector<uint8_t>& archive, const PacketOptions& options,
                    std::vector<uint8_t>* packet) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = options.level;
  props.dictSize = options.dictionary_size;
  props.lc = 3;
  props.lp = 0;
  props.pb = 2;
  props.numThreads = 1;

  // Incompressible input grows by a little; leave generous room.
  SizeT stream_size = archive.size() + archive.size() / 2 + (1 << 16);
  packet->assign(kPacketHeaderSize + stream_size, 0);
  Byte encoded_props[kLzmaPropsSize];
  SizeT props_size = kLzmaPropsSize;
  const SRes result = LzmaEncode(packet->data() + kPacketHeaderSize, &stream_size, archive.data(),
                                 archive.size(), &props, encoded_props, &props_size,
                                 options.end_marker ? 1 : 0, nullptr, &g_alloc, &g_alloc);
  if (result != SZ_OK || props_size != kLzmaPropsSize) return false;
  packet->resize(kPacketHeaderSize + stream_size);
  const uint32_t size = static_cast<uint32_t>(archive.size());
  for (int i = 0; i < 4; ++i) (*packet)[i] = static_cast<uint8_t>(size >> (8 * i));
  for (size_t i = 0; i < kLzmaPropsSize; ++i) (*packet)[4 + i] = encoded_props[i];
  return true;
}

}  // namespace kelo
