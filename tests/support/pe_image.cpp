#include "pe_image.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>

namespace kelo::test {

namespace {

struct Reader {
  std::vector<uint8_t> bytes;
  struct Section {
    uint32_t va, size, raw, raw_size;
  };
  std::vector<Section> sections;

  bool Has(uint64_t offset, uint64_t size) const { return offset + size <= bytes.size(); }
  uint32_t U16(uint64_t o) const { return Has(o, 2) ? bytes[o] | (bytes[o + 1] << 8) : 0; }
  uint32_t U32(uint64_t o) const { return Has(o, 4) ? U16(o) | (U16(o + 2) << 16) : 0; }

  // File offset of a relative virtual address, or 0 when no section holds it.
  uint64_t Offset(uint32_t rva) const {
    for (const Section& s : sections)
      if (rva >= s.va && rva < s.va + (s.size > s.raw_size ? s.size : s.raw_size)) return rva - s.va + s.raw;
    return 0;
  }
  std::string StringAt(uint32_t rva) const {
    const uint64_t o = Offset(rva);
    std::string s;
    for (uint64_t i = o; o && i < bytes.size() && bytes[i]; ++i) s += static_cast<char>(bytes[i]);
    return s;
  }
};

}  // namespace

PeImage ReadPeImage(const std::string& path) {
  PeImage image;
  Reader r;
#ifdef _WIN32
  // The path is UTF-8 (a build folder named in Chinese, say), which the ANSI code page
  // would misread.
  std::wstring wide(path.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                                  static_cast<int>(wide.size())));
  FILE* file = _wfopen(wide.c_str(), L"rb");
#else
  FILE* file = std::fopen(path.c_str(), "rb");
#endif
  if (!file) return image;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) r.bytes.insert(r.bytes.end(), chunk, chunk + got);
  std::fclose(file);

  if (r.U16(0) != 0x5A4D) return image;  // "MZ"
  const uint32_t pe = r.U32(0x3C);
  if (r.U32(pe) != 0x00004550) return image;  // "PE\0\0"
  const uint32_t section_count = r.U16(pe + 6);
  const uint32_t optional_size = r.U16(pe + 20);
  const uint64_t optional = pe + 24;
  if (r.U16(optional) != 0x20B) return image;  // PE32+
  image.characteristics = static_cast<uint16_t>(r.U16(pe + 22));
  image.checksum = r.U32(optional + 64);
  const uint64_t directories = optional + 112;
  const uint64_t section_table = optional + optional_size;
  for (uint32_t i = 0; i < section_count; ++i) {
    const uint64_t s = section_table + 40ull * i;
    r.sections.push_back({r.U32(s + 12), r.U32(s + 8), r.U32(s + 20), r.U32(s + 16)});
  }

  const uint32_t export_rva = r.U32(directories + 0 * 8);
  if (export_rva) {
    const uint64_t e = r.Offset(export_rva);
    const uint32_t name_count = r.U32(e + 24);
    const uint64_t names = r.Offset(r.U32(e + 32));
    for (uint32_t i = 0; e && names && i < name_count; ++i) image.exported_names.push_back(r.StringAt(r.U32(names + 4ull * i)));
  }
  const uint32_t import_rva = r.U32(directories + 1 * 8);
  for (uint64_t d = import_rva ? r.Offset(import_rva) : 0; d && r.Has(d, 20) && r.U32(d + 12); d += 20) {
    image.imported_dlls.push_back(r.StringAt(r.U32(d + 12)));
    // The lookup table (or, without one, the address table as the file holds it): 64-bit
    // entries, the top bit set for an import by number, else the address of hint and name.
    const uint32_t table = r.U32(d) ? r.U32(d) : r.U32(d + 16);
    for (uint64_t t = table ? r.Offset(table) : 0; t && r.Has(t, 8) && (r.U32(t) || r.U32(t + 4)); t += 8)
      if (!(r.U32(t + 4) & 0x80000000u)) image.imported_functions.push_back(r.StringAt(r.U32(t) + 2));
  }
  const uint32_t delay_rva = r.U32(directories + 13 * 8);
  for (uint64_t d = delay_rva ? r.Offset(delay_rva) : 0; d && r.Has(d, 32) && r.U32(d + 4); d += 32)
    image.delay_imported_dlls.push_back(r.StringAt(r.U32(d + 4)));
  image.valid = true;
  return image;
}

}  // namespace kelo::test
