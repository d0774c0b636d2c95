#pragma once
// The setup program's switches, as the common installer systems take them:
//   /S            install without a window, with the default options
//   /LOG=path     write the install log there (default %TEMP%\KeloSetup.log)
//   /D=path       install into `path`: last on the line, spaces allowed (quotation marks
//                 around the switch or the path are taken off)
#include <string>

namespace kelo {

struct CommandLine {
  bool silent = false;
  bool dir_given = false;  // a /D=, even an empty one
  std::wstring dir;        // without /D=, empty: the proposed directory
  std::wstring log_path;   // empty: the default place
  std::wstring unknown;    // the first switch that is none of the above
};

// `line` is the whole command line, program name first (as GetCommandLineW gives it);
// `own_path` the program's own full path, which a caller may have put at the front without
// quotation marks, spaces and all.
CommandLine ParseCommandLine(const wchar_t* line, const std::wstring& own_path);

// What follows the program's name in `line`, read as ParseCommandLine reads it.
const wchar_t* ArgumentsAfterProgram(const wchar_t* line, const std::wstring& own_path);

}  // namespace kelo
