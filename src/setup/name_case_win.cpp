// Names compared as Windows compares them: the file system takes a name in any case of its
// letters, those beyond ASCII too (a release that renames Ä.dll to ä.dll renames nothing),
// and a double-byte character's second byte is no letter however it reads in ASCII.
#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>

#include "base/utf8.h"
#include "setup/install_transaction.h"

namespace kelo {

namespace {

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// ASCII letters folded byte by byte: only where no byte may be a double-byte character's
// second.
std::string AsciiFolded(std::string text) {
  for (char& c : text) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string Lower(std::string text) {
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return AsciiFolded(std::move(text));
  // Read in the code page, every letter folded as the file system folds it (to upper case,
  // the same in every language: a Turkish i is no different), then ASCII letters to lower
  // case, as the fast way above has them. A name the code page cannot read keeps its bytes,
  // ASCII letters folded byte by byte.
  const int size = static_cast<int>(text.size());
  const int chars = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (chars <= 0) return AsciiFolded(std::move(text));
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), size, &wide[0], chars);
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), chars, &upper[0], chars) != chars)
    return AsciiFolded(std::move(text));
  wide.swap(upper);
  for (wchar_t& c : wide) c = AsciiLower(c);
  std::string key = Utf8(wide.data(), wide.size());
  return key.empty() ? AsciiFolded(std::move(text)) : key;
}

}  // namespace kelo
