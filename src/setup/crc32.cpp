#include "setup/crc32.h"

namespace kelo {

namespace {

// Eight tables, so the loop takes eight bytes a step (about 1 cycle a byte instead of 5).
struct Tables {
  uint32_t t[8][256];
  Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

const Tables& CrcTables() {
  static const Tables tables;
  return tables;
}

}  // namespace

uint32_t Crc32(uint32_t crc, const void* data, size_t size) {
  const uint32_t (&t)[8][256] = CrcTables().t;
  const auto* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (; size >= 8; size -= 8, p += 8) {
    const uint32_t low = crc ^ (static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
    crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; size > 0; --size, ++p) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
  return ~crc;
}

}  // namespace kelo
