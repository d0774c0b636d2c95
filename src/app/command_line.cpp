#include "app/command_line.h"

#include <windows.h>

#include <cwchar>

namespace kelo {

namespace {

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  const int length = lstrlenW(prefix);
  return text.size() >= static_cast<size_t>(length) &&
         CompareStringOrdinal(text.c_str(), length, prefix, length, TRUE) == CSTR_EQUAL;
}

// One argument from `p` on: up to the next space outside quotation marks, which go.
std::wstring NextArgument(const wchar_t** p) {
  std::wstring argument;
  bool quoted = false;
  for (; **p && (quoted || (**p != L' ' && **p != L'\t')); ++*p) {
    if (**p == L'"') quoted = !quoted;
    else argument += **p;
  }
  return argument;
}

// Whether `text` begins with `path` (backslashed, as the system names the program), in any
// letter case, a slash in `text` counting as a backslash (a launcher may write
// Downloads/KeloSetup.exe).
bool StartsWithPath(const wchar_t* text, const std::wstring& path) {
  std::wstring head(text, wcsnlen(text, path.size()));
  for (wchar_t& c : head) {
    if (c == L'/') c = L'\\';
  }
  return head.size() == path.size() &&
         CompareStringOrdinal(head.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
}

void SkipSpaces(const wchar_t** p) {
  while (**p == L' ' || **p == L'\t') ++*p;
}

// Past the program's name. A program started by a plain string (a launcher's
// CreateProcess(NULL, "C:\Users\John Smith\Downloads\KeloSetup.exe")) finds its path
// unquoted, spaces and all, where the first space would otherwise end it: its own path, or
// a tail of it from a folder's beginning on (its file name, a path relative to the folder
// it was started from), ending there, is taken whole; also without the ".exe" that the
// system adds to a name given without it.
const wchar_t* SkipProgramName(const wchar_t* p, const std::wstring& own_path) {
  if (*p != L'"') {
    const size_t exe = own_path.size() >= 4 && CompareStringOrdinal(own_path.c_str() + own_path.size() - 4, -1,
                                                                    L".exe", -1, TRUE) == CSTR_EQUAL
                           ? 4
                           : 0;
    for (size_t start = own_path.find_last_of(L"\\/") + 1;;) {
      for (const size_t cut : {size_t{0}, exe}) {
        const std::wstring tail = own_path.substr(start, own_path.size() - start - cut);
        const wchar_t after = tail.empty() || !StartsWithPath(p, tail) ? L'x' : p[tail.size()];
        if (after == L'\0' || after == L' ' || after == L'\t') return p + tail.size();
      }
      if (start == 0) break;
      const size_t separator = start < 2 ? std::wstring::npos : own_path.find_last_of(L"\\/", start - 2);
      start = separator == std::wstring::npos ? 0 : separator + 1;
    }
    NextArgument(&p);
    return p;
  }
  // A quoted name ends at its closing quotation mark, as the system reads it, also where a
  // switch follows without a space ("...\KeloUninstall.exe"/S).
  const wchar_t* close = wcschr(p + 1, L'"');
  return close ? close + 1 : p + wcslen(p);
}

}  // namespace

CommandLine ParseCommandLine(const wchar_t* line, const std::wstring& own_path) {
  CommandLine parsed;
  if (!line) return parsed;
  const wchar_t* p = SkipProgramName(line, own_path);
  for (SkipSpaces(&p); *p; SkipSpaces(&p)) {
    // The directory takes the rest of the line, spaces and all. Tools that quote every
    // argument with a space write "/D=D:\My Games" or /D="D:\My Games": one pair of
    // quotation marks around the switch or its value goes.
    const bool switch_quoted = *p == L'"';
    if (StartsWith(p + (switch_quoted ? 1 : 0), L"/D=")) {
      std::wstring dir = p + (switch_quoted ? 4 : 3);
      while (!dir.empty() && (dir.back() == L' ' || dir.back() == L'\t')) dir.pop_back();
      const bool value_quoted = !switch_quoted && !dir.empty() && dir.front() == L'"';
      if (value_quoted) dir.erase(0, 1);
      if ((switch_quoted || value_quoted) && !dir.empty() && dir.back() == L'"') dir.pop_back();
      parsed.dir = dir;
      parsed.dir_given = true;
      break;
    }
    const std::wstring argument = NextArgument(&p);
    if (CompareStringOrdinal(argument.c_str(), -1, L"/S", -1, TRUE) == CSTR_EQUAL) {
      parsed.silent = true;
    } else if (StartsWith(argument, L"/LOG=")) {
      parsed.log_path = argument.substr(5);
    } else if (parsed.unknown.empty()) {
      parsed.unknown = argument;
    }
  }
  return parsed;
}

const wchar_t* ArgumentsAfterProgram(const wchar_t* line, const std::wstring& own_path) {
  return line ? SkipProgramName(line, own_path) : L"";
}

}  // namespace kelo
