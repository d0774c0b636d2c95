// KeloUninstall.exe: removes the installation it lies in. It asks first (unless /S), stops
// the installation's running programs, removes exactly the files the install ledger lists
// and the folders left empty, Data too unless the user keeps it (/S keeps it), then the
// shortcuts, pins and uninstall entry. The identity stays, so a returning user is not new.
// A running program cannot delete itself and a standard user cannot have it deleted at
// restart: its own file is moved aside, and a copy in the temporary folder, started as the
// uninstaller ends, waits for it and takes the rest away.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/setup_mutex.h"
#include "base/account.h"
#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "base/reg_key.h"
#include "base/win_holders.h"
#include "setup/install_fs_win.h"
#include "setup/install_transaction.h"
#include "setup/ledger.h"
#include "sysreg/install_dir.h"
#include "sysreg/launch.h"
#include "sysreg/shortcuts.h"
#include "sysreg/uninstall_entry.h"

namespace {

using namespace kelo;

constexpr wchar_t kTitle[] = L"Kelo游戏浏览器卸载";
constexpr wchar_t kConfirmText[] = L"确定要卸载Kelo游戏浏览器吗？";
constexpr wchar_t kKeepDataText[] =
    L"是否保留您的个人数据（账号、收藏和设置，位于 Data 文件夹）？\n\n选择“是”保留，以后重新安装可以继续使用。";
constexpr wchar_t kDoneText[] = L"Kelo游戏浏览器已从您的电脑上卸载。";
constexpr wchar_t kSetupRunningText[] = L"Kelo游戏浏览器安装程序正在运行，请等它结束后再卸载。";
constexpr wchar_t kFailedText[] = L"卸载未能全部完成，请关闭Kelo游戏浏览器后重新运行卸载程序。";
// Nothing was touched and no browser ended: closing it would not help. The system's error
// code follows, for what stands in the way may not go by itself.
constexpr wchar_t kNoAccessText[] = L"Kelo游戏浏览器的安装文件夹无法访问，未删除任何文件。请稍后重新运行卸载程序。错误代码：";
constexpr wchar_t kDataHeldText[] =
    L"卸载未完成：您的个人数据中有文件正被其他程序使用，无法删除（其余的可能已删除），Kelo游戏浏览器未被卸载。"
    L"请关闭使用这些文件的程序后重新运行卸载程序。个人数据文件夹：\n";
constexpr wchar_t kUnreadableText[] = L"Kelo游戏浏览器的安装记录已损坏，无法确定哪些文件属于它，未删除任何文件。";
constexpr wchar_t kShortcutsLeftText[] = L"Kelo游戏浏览器已卸载，但有快捷方式未能删除，请手动删除。";
constexpr wchar_t kEntryLeftText[] = L"Kelo游戏浏览器已卸载，但“程序和功能”中的卸载信息未能删除。";
constexpr wchar_t kFolderLeftText[] = L"Kelo游戏浏览器已卸载，但卸载程序未能删除自己，请手动删除这个文件夹：\n";
constexpr wchar_t kDataUnrecordedText[] =
    L"Kelo游戏浏览器已卸载，但未能记下您保留的数据在哪里，重新安装时请选择这个文件夹：\n";
// Data that was there before the install, or a link to a folder elsewhere, is not the
// install's to delete: the user who asked for it gone is told where it stays.
constexpr wchar_t kDataLeftText[] = L"Kelo游戏浏览器已卸载，但您的个人数据未删除，如不再需要，请手动删除这个文件夹：\n";
constexpr wchar_t kNothingHereText[] = L"这个文件夹中没有Kelo游戏浏览器的安装，未做任何更改。";
constexpr wchar_t kChangedText[] = L"Kelo游戏浏览器在您回答时已被重新安装，未做任何更改。如仍要卸载，请重新运行卸载程序。";
constexpr DWORD kCleanupWaitMs = 60000;
constexpr int kCleanupTries = 60;  // a try every 5 s: five minutes
constexpr DWORD kCleanupRetryMs = 5000;

struct Options {
  bool silent = false;
  std::wstring cleanup_dir;   // the copy in the temporary folder: what is left to take away
  DWORD wait_for = 0;         // ... once this process has ended
  uint64_t wait_started = 0;  // ... which started then: the id alone may name another by now
  uint32_t made_levels = 0;   // ... and the folders the install made, once empty
  std::wstring put_back;      // ... and the uninstaller's file it put back, by its identity
  bool unknown = false;       // a switch that is none of these: nothing is done
};

// When the process started, as GetProcessTimes tells it.
uint64_t StartTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

// "ID:START": the process's id and its start time.
void ReadProcessToWaitFor(const wchar_t* text, Options* options) {
  wchar_t* end = nullptr;
  options->wait_for = wcstoul(text, &end, 10);
  if (*end == L':') options->wait_started = wcstoull(end + 1, nullptr, 10);
}

Options ParseOptions() {
  Options options;
  // The program's name as the setup program reads it: unquoted, spaces and all, from a
  // script that started it by a plain string. A stand-in goes before the rest for the
  // system's reader, which takes its first word for the program's.
  wchar_t own_path[MAX_PATH] = {};
  if (!OwnModulePath(own_path)) own_path[0] = L'\0';
  const std::wstring line = std::wstring(L"p ") + ArgumentsAfterProgram(GetCommandLineW(), own_path);
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(line.c_str(), &count);
  for (int i = 1; args && i < count; ++i) {
    const std::wstring arg = args[i];
    if (CompareStringOrdinal(arg.c_str(), -1, L"/S", -1, TRUE) == CSTR_EQUAL) options.silent = true;
    else if (arg.rfind(L"/CLEANUP=", 0) == 0) options.cleanup_dir = arg.substr(9);
    else if (arg.rfind(L"/WAIT=", 0) == 0) ReadProcessToWaitFor(arg.c_str() + 6, &options);
    else if (arg.rfind(L"/FOLDERS=", 0) == 0) options.made_levels = wcstoul(arg.c_str() + 9, nullptr, 10);
    else if (arg.rfind(L"/PUTBACK=", 0) == 0) options.put_back = arg.substr(9);
    else options.unknown = true;
  }
  LocalFree(args);
  return options;
}

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH];
  if (!OwnModulePath(path)) return std::wstring();
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// Which file `path` is (its volume, its index there and when it was last written), itself
// where it is a link; empty where there is none to open.
std::wstring FileIdentity(const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  std::wstring identity;
  if (file.IsValid() && GetFileInformationByHandle(file.Get(), &info)) {
    for (const DWORD part : {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                             info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime})
      identity += std::to_wstring(part) + L".";
  }
  return identity;
}

// The copy in the temporary folder, written while this program's file is still in place.
// It goes itself when its last handle closes: the one the copy is given, so not before
// the copy has ended.
class CleanupCopy {
 public:
  CleanupCopy() {
    wchar_t self[MAX_PATH];
    wchar_t temp[MAX_PATH];
    // A temporary folder too long for the buffer is reported by its length, not written.
    const DWORD temp_chars = GetTempPathW(MAX_PATH, temp);
    if (!OwnModulePath(self) || temp_chars == 0 || temp_chars >= MAX_PATH) return;
    temp_ = temp;
    // A name no file has: an earlier uninstaller's copy, named after the id this program has
    // now, may still be running, or its file still be there.
    const std::wstring stem = temp_ + L"KeloUninstall-" + std::to_wstring(GetCurrentProcessId());
    for (int n = 0; n < 100 && path_.empty(); ++n) {
      const std::wstring path = stem + (n ? L"-" + std::to_wstring(n) : L"") + L".exe";
      if (CopyFileW(self, path.c_str(), TRUE)) path_ = path;
      else if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
  }

  // After an uninstall that could not finish, the user is told to run the uninstaller
  // again: should its own file not be back in place (one that could not be moved back),
  // the copy (the same bytes) takes its place. One in place is left. Gives the identity of
  // the file put back, empty when none was.
  std::wstring PutBack(const std::wstring& dir) const {
    const std::wstring path = dir + kUninstallExe;
    return !path_.empty() && CopyFileW(path_.c_str(), path.c_str(), TRUE) ? FileIdentity(path) : std::wstring();
  }

  // Makes the copy's process, not yet running; false when it could not be. `put_back` is
  // the identity of the file PutBack put in place, if any.
  bool Prepare(const std::wstring& dir, uint32_t made_levels, const std::wstring& put_back) {
    if (path_.empty()) return false;
    ScopedHandle delete_on_close(CreateFileW(path_.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    // Without its final backslash, which would escape the closing quotation mark.
    std::wstring folder = dir;
    while (!folder.empty() && IsPathSeparator(folder.back())) folder.pop_back();
    std::wstring command = L"\"" + path_ + L"\" \"/CLEANUP=" + folder + L"\" /WAIT=" +
                           std::to_wstring(GetCurrentProcessId()) + L":" + std::to_wstring(StartTime(GetCurrentProcess())) +
                           L" /FOLDERS=" + std::to_wstring(made_levels) + (put_back.empty() ? L"" : L" /PUTBACK=" + put_back);
    // The copy inherits nothing: a script reading this program's output waits for every
    // holder of its pipe, and the copy may run for minutes. It is given the handle that
    // deletes it before it runs.
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;  // none, rather than copies of this program's
    PROCESS_INFORMATION process = {};
    const auto create = [&](DWORD flags) {
      return CreateProcessW(path_.c_str(), &command[0], nullptr, nullptr, FALSE, flags, nullptr, temp_.c_str(),
                            &startup, &process) != FALSE;
    };
    // Out of a job this program runs in, where the job allows: one that ends what is left in
    // it once this program has ended (a script runner's) would end the copy before its work.
    if (!create(CREATE_SUSPENDED | CREATE_BREAKAWAY_FROM_JOB) && !create(CREATE_SUSPENDED)) return false;
    thread_.Reset(process.hThread);
    process_.Reset(process.hProcess);
    // Ended with this program until it is let run: one ended under its last box (a task
    // manager, a deployment tool's time limit) leaves no copy held forever. Without a job
    // (one this program runs in that allows none inside) it is held all the same.
    job_.Reset(CreateJobObjectW(nullptr, nullptr));
    if (!job_.IsValid() || !SetKillOnClose(true) || !AssignProcessToJobObject(job_.Get(), process_.Get()))
      job_.Reset();
    // Without that handle (the file could not be opened so) the copy still does its work.
    HANDLE given = nullptr;
    if (!delete_on_close.IsValid() || DuplicateHandle(GetCurrentProcess(), delete_on_close.Get(), process_.Get(),
                                                      &given, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return true;
    TerminateProcess(process_.Get(), 1);
    process_.Reset();
    return false;
  }

  // Lets the prepared copy run.
  void Start() {
    if (!process_.IsValid()) return;
    if ((job_.IsValid() && !SetKillOnClose(false)) || ResumeThread(thread_.Get()) == static_cast<DWORD>(-1))
      TerminateProcess(process_.Get(), 1);
  }

 private:
  bool SetKillOnClose(bool kill) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = kill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0;
    return SetInformationJobObject(job_.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) != FALSE;
  }

  std::wstring temp_;  // the temporary folder, where the copy runs
  std::wstring path_;
  ScopedHandle process_;
  ScopedHandle thread_;
  ScopedHandle job_;
};

// Whether the folder holds an installation to remove: a ledger, or a journal that may bring
// one back. Without them it is a copy of the uninstaller run elsewhere, or a folder whose
// ledger is gone, whose files cannot be told from the user's: nothing there is touched, and
// no program running from there is ended.
bool HoldsInstallation(InstallFs* fs) {
  return fs->Probe(kLedgerName) != InstallFs::Kind::kMissing || fs->Probe(kJournalName) != InstallFs::Kind::kMissing;
}

// The copy's part: once the uninstaller has ended, its own file (aside by now) and the
// folders left empty go.
int FinishCleanup(const Options& options) {
  // Nothing holds the uninstaller's id once it has ended: a process with that id that
  // started at another time is some other program.
  ScopedHandle uninstaller(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, options.wait_for));
  if (uninstaller.IsValid() && StartTime(uninstaller.Get()) == options.wait_started)
    WaitForSingleObject(uninstaller.Get(), kCleanupWaitMs);
  // Copies aside that a program still holds go once it lets go: they are tried again for a
  // few minutes, for after a finished uninstall no later run would come to remove them. The
  // lock is waited for in the same pauses (a setup program may hold it as long as its
  // window is open, and then be closed without installing), and taken over when its holder
  // ended without giving it back. Between tries the lock is closed, not only given back:
  // while it exists at all, a setup program takes it for another copy running.
  for (int tries = 1;; ++tries) {
    ScopedHandle lock(CreateMutexW(nullptr, FALSE, kSetupMutexName));
    const DWORD waited = lock.IsValid() ? WaitForSingleObject(lock.Get(), kCleanupRetryMs) : WAIT_FAILED;
    if (waited == WAIT_TIMEOUT && tries < kCleanupTries) continue;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return kExitAlreadyRunning;
    Win32InstallFs fs(options.cleanup_dir);
    ScopedHandle hold;
    const bool held = fs.HoldFolder(&hold);
    const bool settled = held && RecoverInstall(&fs).ok();
    // A staging folder the recovery could not remove waits the same way: the uninstaller's
    // own file, when a rollback took it there, is held until the uninstaller has ended.
    // Nothing else is left unsettled once the journal is gone.
    const bool copies_held = settled ? fs.Probe(kAsideDir) != InstallFs::Kind::kMissing
                                     : held && fs.Probe(kJournalName) == InstallFs::Kind::kMissing &&
                                           fs.Probe(kStagingDir) != InstallFs::Kind::kMissing;
    // The uninstaller's file put back for another run, once the recovery has left no
    // installation that run could remove, would stand there refusing every run, taken by
    // everything else for a file of the user's. Only that very file goes, and is waited for
    // like the copies aside while it runs (a script's retry started from it).
    const std::wstring own_path = options.cleanup_dir + L"\\" + kUninstallExe;
    const bool put_back_held = settled && !options.put_back.empty() && !HoldsInstallation(&fs) &&
                               FileIdentity(own_path) == options.put_back && !DeleteFileW(own_path.c_str());
    if (!(copies_held || put_back_held) || tries == kCleanupTries) {
      if (settled) TidyLeftFolder(&fs);
      hold.Reset();
      RemoveEmptyFolders(options.cleanup_dir, options.made_levels);
      return settled ? kExitSuccess : kExitInstallFailed;
    }
    // The folder too: a setup program that takes the lock in this pause holds the folder
    // next, and waits for it only moments.
    hold.Reset();
    ReleaseMutex(lock.Get());
    lock.Reset();
    Sleep(kCleanupRetryMs);
  }
}

// Whether the uninstall entry names where the installation in `dir` was before the user
// moved its folder: another place, with no installation left there (not even an older
// setup's) to claim the entry and the shortcuts pointing into it.
bool MovedFrom(const std::wstring& dir, std::wstring* recorded) {
  if (ReadInstallLocation(recorded) != ERROR_SUCCESS || recorded->empty() || SamePath(*recorded, dir)) return false;
  // On a drive that is not there now (a USB disk unplugged) nothing is found either, and
  // the installation there is whole.
  wchar_t root[MAX_PATH];
  if (recorded->size() >= MAX_PATH || lstrcpynW(root, recorded->c_str(), MAX_PATH) == nullptr) return false;
  for (wchar_t* c = root; *c; ++c)
    if (*c == L'/') *c = L'\\';  // a typed "D:/Games" is stored as typed
  if (!PathStripToRootW(root) || GetFileAttributesW(root) == INVALID_FILE_ATTRIBUTES) return false;
  Win32InstallFs there(*recorded);
  return !HoldsInstallation(&there) && there.Probe(kBrowserRecordName) == InstallFs::Kind::kMissing;
}

// Which files the ledger and the journal in `dir` are: an install that changed anything
// put a new ledger at its name, also for the same payload (the identity's step writes into
// one of its files). One that found every file as its ledger has them wrote none: the
// installation the questions asked about is then still what is there, but for its entry.
std::wstring RecordsIdentity(const std::wstring& dir) {
  std::wstring identity;
  for (const char* record : {kLedgerName, kJournalName})
    identity += FileIdentity(dir + std::wstring(record, record + strlen(record))) + L";";
  return identity;
}

// The window's memory of a failed install goes with the installation: nothing of the
// installer's stays but the identity. The key is the browser's own, and goes only when
// nothing else is in it.
void ForgetInstallation() {
  ForgetInstallFailure();
  DeleteKeyIfEmpty(kFailureMemoryKey);
}

int Uninstall(const Options& options) {
  ScopedHandle lock;
  ScopedHandle hold;
  // Every box that ends the run comes after everything is let go: it may stand behind other
  // windows, and a setup program (or this one again) started meanwhile must not find the
  // lock or the folder taken and quietly do nothing.
  const auto finish = [&](int code, const wchar_t* text, UINT icon) {
    ReleaseMutex(lock.Get());  // fails harmlessly where it is not owned
    lock.Reset();
    hold.Reset();
    if (!options.silent && text) MessageBoxW(nullptr, text, kTitle, MB_OK | icon);
    return code;
  };
  const auto finish_without_access = [&](uint32_t error) {
    return finish(kExitInstallFailed, (kNoAccessText + std::to_wstring(error)).c_str(), MB_ICONINFORMATION);
  };
  const std::wstring dir = OwnFolder();
  if (dir.empty()) return finish(kExitInstallFailed, nullptr, 0);
  Win32InstallFs fs(dir);
  std::optional<std::wstring> asked_about;  // the records of the installation first looked at
  // Takes the lock and looks at what the folder holds; the exit code when there is nothing
  // to do.
  const auto lock_and_look = [&]() -> std::optional<int> {
    bool another_copy = false;
    lock.Reset(CreateSetupMutex(&another_copy));
    if (another_copy && options.silent) another_copy = !TakeOverSetupMutex(lock.Get());
    if (another_copy) return finish(kExitAlreadyRunning, kSetupRunningText, MB_ICONWARNING);
    if (!HoldsInstallation(&fs)) return finish(kExitInstallFailed, kNothingHereText, MB_ICONWARNING);
    // A record that cannot be read removes nothing: the user is told at once, and a running
    // browser is not ended for it. (A journal's recovery may yet bring a whole one back.)
    // One only held for the moment asks for another run.
    Ledger ledger;
    const InstallOutcome read =
        fs.Probe(kJournalName) == InstallFs::Kind::kMissing ? ReadLedger(&fs, &ledger) : InstallOutcome();
    if (read.ok()) {
      // Not the installation the questions asked about (reinstalled while they stood): the
      // user's yes was not said of it.
      const std::wstring records = RecordsIdentity(dir);
      if (asked_about && *asked_about != records) return finish(kExitInstallFailed, kChangedText, MB_ICONINFORMATION);
      asked_about = records;
      return std::nullopt;
    }
    if (read.reason == InstallOutcome::kUnreadableRecord)
      return finish(kExitInstallFailed, kUnreadableText, MB_ICONINFORMATION);
    return finish_without_access(read.system_error);
  };
  if (const std::optional<int> code = lock_and_look()) return *code;
  bool keep_data = true;
  if (!options.silent) {
    // The questions too may stand for long: the lock is let go while they are asked, and
    // the folder looked at again after them, for a setup program may have run meanwhile.
    ReleaseMutex(lock.Get());
    lock.Reset();
    if (MessageBoxW(nullptr, kConfirmText, kTitle, MB_YESNO | MB_ICONQUESTION) != IDYES) return kExitCancelled;
    keep_data = MessageBoxW(nullptr, kKeepDataText, kTitle, MB_YESNO | MB_ICONQUESTION) == IDYES;
    if (const std::optional<int> code = lock_and_look()) return *code;
  }
  // An installer at work in the folder (from another logon session, which the lock above
  // does not reach) is left to finish, and nothing is touched.
  if (!fs.HoldFolder(&hold)) {
    const uint32_t error = fs.LastError();
    return error == ERROR_SHARING_VIOLATION ? finish(kExitAlreadyRunning, kSetupRunningText, MB_ICONWARNING)
                                            : finish_without_access(error);
  }
  // The running browser holds its files; the uninstaller's own is moved aside instead. One
  // that outlives its end would leave a half-removed installation behind its shortcuts:
  // nothing is touched, and the user is asked to close it.
  if (!StopInstalledPrograms(dir)) return finish(kExitInstallFailed, kFailedText, MB_ICONINFORMATION);
  CleanupCopy cleanup;
  // Which file this program runs from, before a rollback may take it away from its name and
  // put another there.
  wchar_t own_path[MAX_PATH];
  const std::wstring own_identity = OwnModulePath(own_path) ? FileIdentity(own_path) : std::wstring();
  uint32_t made_levels = 0;
  const InstallOutcome outcome = UninstallFiles(&fs, keep_data, &made_levels);
  // A failure that leaves neither ledger nor journal nor main program (a first install cut
  // short, rolled back with this very program in its staging folder) left only what the
  // finishing copy takes. One that rolled an older setup program's installation back into
  // place removed nothing: its entry and shortcuts stay.
  const bool files_removed =
      outcome.ok() || (!HoldsInstallation(&fs) && fs.Probe(kBrowserRecordName) == InstallFs::Kind::kMissing);
  bool entry_left = false;
  bool shortcuts_left = false;
  bool data_unrecorded = false;
  bool data_left = false;
  const std::string own_name(std::begin(kUninstallExe), std::end(kUninstallExe) - 1);
  const uint32_t own_folder_levels = IsProductsOwnFolder(dir) ? kProductsOwnFolderLevels : 0;
  std::wstring put_back;  // the identity of this program's copy put back for another run
  if (files_removed) {
    // The entry, the shortcuts and a moved installation's old folder are looked at where
    // they were recorded, which may be a card reader left empty: no box asks for the disk.
    NoDiskBoxesOnThisThread quiet;
    // A copy of this program that an earlier run put back, while a rollback it could not
    // finish stood, was taken by that rollback for someone else's file. With no
    // installation left, the file this program runs from, still at its name, is only this
    // program: it goes with the finishing copy. (Any other file there stays.)
    if (!HoldsInstallation(&fs) && !own_identity.empty() && FileIdentity(dir + kUninstallExe) == own_identity &&
        fs.MakeDir(kAsideDir))
      fs.Move(own_name, std::string(kAsideDir) + "\\" + own_name);
    // Left in place when files remain, so that the user can run the uninstall again. A
    // folder moved since its install leaves the entry and the shortcuts naming where it
    // was; of the folders that install made, only the install folder itself moved along.
    std::wstring recorded;
    const bool moved = MovedFrom(dir, &recorded);
    if (moved && made_levels > 1) made_levels = 1;
    // The product's own folder goes once empty, whoever made it: an install that took it
    // over counted none, and so does a rollback that took the record of a first install.
    made_levels = std::max(made_levels, own_folder_levels);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // One held open by another program stays: the uninstall still goes on (its files are
    // gone), but does not end as a success.
    shortcuts_left = !RemoveShortcuts(dir, GetOsVersionCode());
    if (moved && !RemoveShortcuts(recorded, GetOsVersionCode())) shortcuts_left = true;
    if (SUCCEEDED(com)) CoUninitialize();
    // An entry that stays promises an uninstaller that is gone: no success.
    entry_left = !RemoveUninstallEntry(moved ? recorded : dir);
    // The next install then finds the profile the user was promised, wherever it is.
    // Unrecorded, it is found only where the next install looks anyway.
    if (keep_data && HoldsDataFolder(dir) && !RememberKeptData(dir, made_levels)) {
      std::wstring next;
      data_unrecorded = !DefaultInstallDir(&next) || !SamePath(next, dir);
    }
    data_left = !keep_data && HoldsDataFolder(dir) && !DataHoldsOnlyInstallations(&fs);
    ForgetInstallation();
  } else {
    put_back = cleanup.PutBack(dir);
    // The copy's recovery may yet leave the folder empty: the product's own folder then
    // goes too.
    made_levels = own_folder_levels;
  }
  // Without its copy (a temporary folder that is full or gone, a rule against programs
  // there) the uninstaller's own file and the folder stay: no success either.
  const bool folder_left = !cleanup.Prepare(dir, made_levels, put_back) && files_removed;
  // Its own file is aside, or in staging where a rollback took it.
  const std::string own_folder =
      fs.Probe(std::string(kStagingDir) + "\\" + own_name) == InstallFs::Kind::kFile ? kStagingDir : kAsideDir;
  const std::wstring folder_left_text = kFolderLeftText + dir + std::wstring(own_folder.begin(), own_folder.end());
  // Everything that stayed is said.
  std::wstring left;
  const auto say = [&left](const std::wstring& text) { left += (left.empty() ? L"" : L"\n") + text; };
  if (!files_removed) {
    if (outcome.reason == InstallOutcome::kUnreadableRecord) say(kUnreadableText);
    else if (!outcome.where.empty()) say(kDataHeldText + dir + std::wstring(outcome.where.begin(), outcome.where.end()));
    else say(kFailedText);
  }
  if (entry_left) say(kEntryLeftText);
  if (shortcuts_left) say(kShortcutsLeftText);
  if (folder_left) say(folder_left_text);
  if (data_unrecorded) say(kDataUnrecordedText + dir);
  if (data_left) say(kDataLeftText + dir + kDataDirName);
  const int code = finish(left.empty() ? kExitSuccess : kExitInstallFailed, left.empty() ? kDoneText : left.c_str(),
                          MB_ICONINFORMATION);
  // Only now: the copy waits a bounded time for this program to end, and the box may
  // stand longer than that.
  cleanup.Start();
  return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem32();
  SetModuleInstance(instance);
  const Options options = ParseOptions();
  // A script's switch of another installer system (/SILENT, -S) would leave it waiting on
  // questions nobody answers.
  if (options.unknown) return kExitUsage;
  // A service account's uninstall would take the files of a person's installation and leave
  // its entry and shortcuts, which lie in that person's profile.
  if (RunsAsServiceAccount()) return kExitServiceAccount;
  // Without a window nobody answers a box.
  ChooseFailureBoxes(options.silent || !options.cleanup_dir.empty(), kExitInstallFailed);
  return options.cleanup_dir.empty() ? Uninstall(options) : FinishCleanup(options);
}
