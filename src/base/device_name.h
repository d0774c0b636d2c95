#pragma once
// Names Windows opens a device for. Portable: the packer refuses them on every system; the
// installer leaves such files alone, and refuses such a folder for its install directory.
#include <string>

namespace kelo {

// Whether Windows opens a device for a file of this name (one component, UTF-8 or code page
// 1252) given by a plain path: CON, PRN, AUX, NUL, COM1-9, LPT1-9 in any letter case,
// whatever follows a dot. Such a file (made by another system's tools) is reached only by
// a "\\?\" path.
// Windows takes the part before the first dot, without the spaces that end it, for the
// device check: "nul .txt" opens the NUL device. Ports are numbered 1-9 and by the
// superscript digits 1-3: one byte in code page 1252 (a name packed with --allow-ansi), two
// in UTF-8 (a system set to it).
inline bool IsDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  // Only ASCII letters make a device's name.
  std::string folded = base;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (folded == "con" || folded == "prn" || folded == "aux" || folded == "nul" || folded == "conin$" ||
      folded == "conout$")
    return true;
  const std::string kind = folded.substr(0, 3);
  if (kind != "com" && kind != "lpt") return false;
  const std::string number = base.substr(3);
  if (number.size() == 1) {
    const unsigned char digit = static_cast<unsigned char>(number[0]);
    return (digit >= '1' && digit <= '9') || digit == 0xb9 || digit == 0xb2 || digit == 0xb3;
  }
  return number == "\xc2\xb9" || number == "\xc2\xb2" || number == "\xc2\xb3";
}

}  // namespace kelo
