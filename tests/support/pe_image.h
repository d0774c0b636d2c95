#pragma once
// Reads the import and export tables of a PE32+ file from its bytes: what a Windows
// loader would bind when it starts the program. Portable; for tests only.
#include <cstdint>
#include <string>
#include <vector>

namespace kelo::test {

struct PeImage {
  bool valid = false;
  uint16_t characteristics = 0;  // the file header's flags
  uint32_t checksum = 0;         // as the optional header states it
  std::vector<std::string> imported_dlls;        // load-time imports, as written in the file
  std::vector<std::string> imported_functions;   // load-time imports by name
  std::vector<std::string> delay_imported_dlls;  // delay-load imports
  std::vector<std::string> exported_names;
};

PeImage ReadPeImage(const std::string& path);

}  // namespace kelo::test
