#pragma once
// UTF-16 text of the system's calls as UTF-8, the form of the log and of the install's
// file names.
#include <windows.h>

#include <string>

namespace kelo {

// `chars` characters of `text` in UTF-8; empty when there are none or the system cannot
// convert them.
inline std::string Utf8(const wchar_t* text, size_t chars) {
  const int length = static_cast<int>(chars);
  const int bytes = length > 0 ? WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr) : 0;
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, &utf8[0], bytes, nullptr, nullptr);
  return utf8;
}

}  // namespace kelo
