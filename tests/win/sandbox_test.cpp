// The prefix a test runs in reaches of the machine only what its run names (the build tree
// and the skin's images): drive Z: walked down to each of those folders holds, at every
// level on the way, just the next step towards them, so neither the home of whoever runs
// the tests nor anything else of the machine is in reach.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sysreg_scratch.h"

namespace kelo {
namespace {

std::set<std::wstring> Entries(const std::wstring& dir) {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.insert(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return names;
}

TEST(Sandbox, DriveZShowsOnlyTheFoldersTheRunNames) {
  std::set<std::wstring> shown;  // as Z: paths
  const std::string list = KELO_TEST_HOST_DIRS;
  for (size_t start = 0; start < list.size();) {
    const size_t end = std::min(list.find(':', start), list.size());
    shown.insert(test::HostPath(list.substr(start, end - start).c_str()));
    start = end + 1;
  }
  ASSERT_EQ(shown.size(), 2u);
  const auto inside = [](const std::wstring& path, const std::wstring& folder) {
    return path.compare(0, folder.size() + 1, folder + L"\\") == 0;
  };
  // Every level above a shown folder (and not inside one): what it holds is exactly the
  // steps towards them.
  std::set<std::wstring> levels;
  for (const std::wstring& folder : shown) {
    EXPECT_NE(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << testing::PrintToString(folder);
    for (size_t cut = folder.find(L'\\'); cut != std::wstring::npos; cut = folder.find(L'\\', cut + 1))
      levels.insert(folder.substr(0, cut));
  }
  for (const std::wstring& level : levels) {
    bool shown_already = false;
    for (const std::wstring& folder : shown) shown_already |= level == folder || inside(level, folder);
    if (shown_already) continue;
    std::set<std::wstring> steps;
    for (const std::wstring& folder : shown) {
      if (!inside(folder, level)) continue;
      const size_t next = folder.find(L'\\', level.size() + 1);
      steps.insert(folder.substr(level.size() + 1, next == std::wstring::npos ? next : next - level.size() - 1));
    }
    EXPECT_EQ(Entries(level), steps) << testing::PrintToString(level);
  }
}

}  // namespace
}  // namespace kelo
