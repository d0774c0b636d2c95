#pragma once
// CRC-32 (the zlib polynomial), the checksum the install ledger keeps of every file.
#include <cstddef>
#include <cstdint>

namespace kelo {

// Continues `crc` (0 to start) over `size` more bytes.
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

}  // namespace kelo
