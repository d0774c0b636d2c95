// The packet's way through the disk: the resource is written to the install directory and
// read back through a read-only mapping, then decoded in one piece.
#include <utility>

#include "base/module.h"
#include "base/product.h"
#include "base/win_holders.h"
#include "setup/extract_payload.h"
#include "setup/packet.h"

namespace kelo {

bool WritePacketFile(const std::wstring& path) {
  const HMODULE module = ModuleInstance();
  const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPacketResourceId), kPacketResourceType);
  if (!resource) return false;
  const HGLOBAL loaded = LoadResource(module, resource);
  const DWORD size = SizeofResource(module, resource);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return false;

  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes, size, &written, nullptr)) return false;
  if (written != size) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  // A write the cache could not complete may only be reported when the handle closes.
  return CloseHandle(file.Take()) != 0;
}

bool MapPacketFile(const std::wstring& path, PacketMapping* packet) {
  packet->view.Reset();
  packet->mapping.Reset();
  packet->size = 0;
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return false;
  DWORD size_high = 0;
  const DWORD size = GetFileSize(file.Get(), &size_high);
  if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  if (size_high != 0) {  // no packet of ours comes near 4 GB
    SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  ScopedHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, size, kPacketMappingName));
  if (mapping.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS) {
    // Another process made an object of that name first: what it maps is not the file we
    // just wrote, so it is never read. Our own file, mapped without a name, serves as well.
    mapping.Reset();
  }
  if (!mapping.IsValid()) mapping.Reset(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, size, nullptr));
  if (!mapping.IsValid()) return false;
  packet->view.Reset(MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0));
  if (!packet->view.Get()) return false;
  packet->mapping = std::move(mapping);
  packet->size = size;
  return true;  // the mapping keeps the file open
}

bool UnpackPacket(const std::wstring& packet_path, const std::wstring& dest, bool clear_first) {
  if (packet_path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DecodedArchive archive;
  {
    PacketMapping packet;
    if (!MapPacketFile(packet_path, &packet)) return false;
    const PacketError error = DecodePacket(packet.view.Get(), packet.size, &archive);
    if (error != PacketError::kNone) {
      SetLastError(error == PacketError::kOutOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA);
      return false;
    }
  }  // the packet's pages go back before the files are written
  return WriteArchiveFiles(archive.data.get(), archive.size, dest, clear_first);
}

}  // namespace kelo
