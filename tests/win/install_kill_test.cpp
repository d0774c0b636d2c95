// Installs ended by TerminateProcess: a re-install of a browser-sized payload over another,
// killed at moments spread over its whole run, must leave one whole installation once the
// next run has settled what was cut short, and a run after that must complete. Two
// payloads (made at build time from two seeds of the benchmark's generator) take turns.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sysreg_scratch.h"

namespace kelo {
namespace {

using Files = std::map<std::wstring, std::string>;

constexpr int kKills = 32;
constexpr int kCommitKills = 8;
// The code a killed child ends with: one it never ends with itself (0 installed, 1 failed).
constexpr UINT kKilledCode = 0xDEAD;

Files ListFiles(const std::wstring& dir, const std::wstring& prefix = L"") {
  Files files;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\" + prefix + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return files;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      files.merge(ListFiles(dir, prefix + name + L"\\"));
    else
      files[prefix + name] = test::ReadFileBytes(dir + L"\\" + prefix + name, "<unreadable>");
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return files;
}

struct Payload {
  std::wstring child;  // the program that installs it
  Files files;
};

// The user's, among ours.
const Files kUsers = {{L"Data\\Default\\profile.ini", "[Profile]"}, {L"My notes.txt", "do not lose"}};

void WriteUsersFiles(const std::wstring& dir) {
  for (const auto& [name, bytes] : kUsers) test::WriteFileBytes(dir + L"\\" + name, bytes);
}

// Which payload the folder holds whole, or what is wrong. Besides the payload there may be
// only the ledger and the user's files, as they were.
std::string Judge(const std::wstring& dir, const Payload& a, const Payload& b) {
  Files disk = ListFiles(dir);
  if (!disk.erase(L"KeloSetup.ledger")) return "no ledger";
  for (const auto& [name, bytes] : kUsers) {
    const auto it = disk.find(name);
    if (it == disk.end() || it->second != bytes) return "the user's file changed: " + testing::PrintToString(name);
    disk.erase(it);
  }
  if (disk == a.files) return "a";
  if (disk == b.files) return "b";
  size_t mixed = 0;
  for (const auto& [name, bytes] : disk) mixed += (a.files.count(name) && a.files.at(name) == bytes) ? 0 : 1;
  return "neither: " + std::to_string(disk.size()) + " files, " + std::to_string(mixed) + " not of the first";
}

DWORD RunChild(const std::wstring& child, const std::wstring& arguments) {
  HANDLE process = test::StartProgram(child, arguments);
  if (!process) {
    ADD_FAILURE() << "could not start the child: error " << GetLastError();
    return 99;
  }
  // One that does not end is ended: it would go on writing into the next run's folder.
  if (WaitForSingleObject(process, 120000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the child did not end";
    TerminateProcess(process, 97);
    WaitForSingleObject(process, 30000);
  }
  DWORD code = 98;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

// Ends the child `wait_ms` from now. One that ended first must have installed: an install
// failing on its own is no kill survived.
void KillAfter(HANDLE process, DWORD wait_ms, const std::string& which) {
  WaitForSingleObject(process, wait_ms);
  TerminateProcess(process, kKilledCode);
  WaitForSingleObject(process, 30000);
  DWORD code = 98;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  EXPECT_TRUE(code == kKilledCode || code == 0) << which << ": the install ended with " << code;
}

TEST(InstallKill, EveryKillLeavesOneWholeInstallationOnceSettled) {
  const Payload a = {test::HostPath(KELO_KILL_CHILD_A), ListFiles(test::HostPath(KELO_KILL_PAYLOAD_A))};
  const Payload b = {test::HostPath(KELO_KILL_CHILD_B), ListFiles(test::HostPath(KELO_KILL_PAYLOAD_B))};
  ASSERT_GT(a.files.size(), 200u);
  test::ScratchDir scratch(L"killed");
  const std::wstring dir = scratch.path() + L"\\KeloBrowser";
  const std::wstring quoted = L"\"" + dir + L"\"";
  ASSERT_EQ(RunChild(a.child, quoted), 0u);
  WriteUsersFiles(dir);
  ASSERT_EQ(Judge(dir, a, b), "a");
  // How long a whole re-install takes here: the kills are spread over that.
  const ULONGLONG start = GetTickCount64();
  ASSERT_EQ(RunChild(b.child, quoted), 0u);
  const ULONGLONG whole_ms = GetTickCount64() - start;
  ASSERT_EQ(Judge(dir, a, b), "b");

  int changed = 0;
  int interrupted = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    const std::string before = Judge(dir, a, b);
    const Payload& next = before == "a" ? b : a;
    HANDLE process = test::StartProgram(next.child, quoted);
    ASSERT_NE(process, nullptr);
    // The wait is the moment of the kill; an install that ends earlier is simply whole.
    KillAfter(process, static_cast<DWORD>(whole_ms * kill / kKills), "kill " + std::to_string(kill));
    // Cut short inside the install: the recovery run has staging or a journal to settle.
    for (const wchar_t* ours : {L"\\KeloSetup.new", L"\\KeloSetup.journal"})
      if (GetFileAttributesW((dir + ours).c_str()) != INVALID_FILE_ATTRIBUTES) {
        ++interrupted;
        break;
      }
    ASSERT_EQ(RunChild(next.child, L"--recover " + quoted), 0u) << "kill " << kill;
    const std::string after = Judge(dir, a, b);
    EXPECT_TRUE(after == "a" || after == "b") << "kill " << kill << " after " << whole_ms * kill / kKills << " ms: " << after;
    changed += after != before;
  }
  // Kills timed on the folder of replaced files appearing (made right before the first move,
  // once the journal is written and flushed), each a millisecond later than the one before:
  // the commit (the journal, the moves of the live files, the ledger) is a short stretch at
  // the end of the run, which the kills spread over the whole run may all miss, and timed
  // on the journal's appearing they would hang on how long its flush takes.
  int among_moves = 0;
  const std::wstring journal = dir + L"\\KeloSetup.journal";
  const std::wstring ledger = dir + L"\\KeloSetup.ledger";
  const std::wstring aside = dir + L"\\KeloSetup.old";
  for (int kill = 0; kill < kCommitKills; ++kill) {
    const std::string before = Judge(dir, a, b);
    const Payload& next = before == "a" ? b : a;
    const std::string earlier_ledger = test::ReadFileBytes(ledger, "<unreadable>");
    ASSERT_EQ(GetFileAttributesW(aside.c_str()), INVALID_FILE_ATTRIBUTES) << "replaced files left from before";
    HANDLE process = test::StartProgram(next.child, quoted);
    ASSERT_NE(process, nullptr);
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (GetFileAttributesW(aside.c_str()) == INVALID_FILE_ATTRIBUTES &&
           WaitForSingleObject(process, 0) == WAIT_TIMEOUT && GetTickCount64() < deadline)
      SwitchToThread();
    const bool timed_out = GetTickCount64() >= deadline;
    KillAfter(process, static_cast<DWORD>(kill), "commit kill " + std::to_string(kill));
    ASSERT_FALSE(timed_out) << "no file was replaced";
    // Among the moves: the journal whole, earlier files aside, the earlier ledger in place.
    among_moves += GetFileAttributesW(journal.c_str()) != INVALID_FILE_ATTRIBUTES &&
                   !ListFiles(aside).empty() &&
                   test::ReadFileBytes(ledger, "<unreadable>") == earlier_ledger;
    ASSERT_EQ(RunChild(next.child, L"--recover " + quoted), 0u) << "commit kill " << kill;
    const std::string after = Judge(dir, a, b);
    EXPECT_TRUE(after == "a" || after == "b") << "commit kill " << kill << " after " << kill << " ms: " << after;
  }
  ASSERT_EQ(RunChild(a.child, quoted), 0u);
  EXPECT_EQ(Judge(dir, a, b), "a");
  std::printf("%d kills over %llu ms; %d inside the install, %d after the commit; %d of %d commit kills among its moves\n",
              kKills, whole_ms, interrupted, changed, among_moves, kCommitKills);
  EXPECT_GE(among_moves, 1) << "no kill landed among the commit's moves";
  // Spread over the install's time, many land while it stages or commits (most, as a
  // rule), even when the run that set the time was slow.
  EXPECT_GE(interrupted, kKills / 8) << "too few kills landed inside an install";
}

}  // namespace
}  // namespace kelo
