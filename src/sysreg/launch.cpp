#include "sysreg/launch.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cwchar>

#include "base/file_paths.h"
#include "base/module.h"
#include "base/product.h"
#include "base/win_holders.h"
#include "sysreg/install_dir.h"
#include "sysreg/uninstall_entry.h"

namespace kelo {

namespace {

// How long a terminated program may take to go before the step gives up on it.
constexpr DWORD kTerminateWaitMs = 2000;

// The file of the program `process_id` runs, into `path`, with `process` kept open on it: as
// it was started (a link or substituted drive in it kept, as in the recorded location) when
// the program lets us read that; for one started with more rights, which does not, as the
// system resolved it.
bool ProgramPath(DWORD process_id, ScopedHandle* process, wchar_t (&path)[MAX_PATH + 1]) {
  process->Reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (process->IsValid() && GetModuleFileNameExW(process->Get(), nullptr, path, MAX_PATH + 1) != 0) return true;
  // A program only just started has no module list to read yet: it is not passed over.
  if (!process->IsValid()) process->Reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  DWORD chars = MAX_PATH + 1;
  return process->IsValid() && QueryFullProcessImageNameW(process->Get(), 0, path, &chars);
}

// Ends the entry's program when its file is one of `paths`: ERROR_SUCCESS when it was not
// ours or has ended, else why it still runs. One of ours we may not end is reported, not
// passed over as someone else's.
DWORD EndIfInstalled(const PROCESSENTRY32W& entry, const std::wstring (&paths)[3]) {
  ScopedHandle queried;  // held, so the process id stays this program's
  wchar_t path[MAX_PATH + 1] = {};
  if (!ProgramPath(entry.th32ProcessID, &queried, path)) return ERROR_SUCCESS;
  // The recorded location is kept as it was typed, slashes for backslashes or doubled
  // separators included: both sides are compared in their full form.
  bool installed = false;
  for (const std::wstring& ours : paths) installed = installed || SamePath(path, ours);
  if (!installed) return ERROR_SUCCESS;
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
  if (!process.IsValid()) return GetLastError();
  TerminateProcess(process.Get(), 0);
  return WaitForSingleObject(process.Get(), kTerminateWaitMs) == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_SUCCESS;
}

}  // namespace

bool ShellOpen(const wchar_t* file, const wchar_t* parameters, int show, HWND error_owner, const wchar_t* directory) {
  SHELLEXECUTEINFOW request = {};
  request.cbSize = sizeof(request);
  // Carried out before this returns: on the install worker, a thread of the multithreaded
  // apartment, the shell would otherwise finish it on a thread of its own, which the
  // process ending right after cuts short, and whose failure nobody hears of.
  request.fMask = SEE_MASK_NOASYNC | (error_owner ? 0 : SEE_MASK_FLAG_NO_UI);
  // Owned, the box stands above its window and keeps it from further clicks while it
  // shows.
  request.hwnd = error_owner;
  request.lpVerb = L"open";
  request.lpFile = file;
  request.lpParameters = parameters;
  wchar_t system[MAX_PATH];
  const UINT system_chars = directory ? 0 : GetSystemDirectoryW(system, MAX_PATH);
  request.lpDirectory = system_chars > 0 && system_chars < MAX_PATH ? system : directory;
  request.nShow = show;
  // What starts is the user's, and may run for hours after this program has ended: it
  // inherits this program's error mode, but not the crash report an unattended run turned
  // off, so that its crashes are told. The "no disk" setting stays as it is: the shell may
  // do this work on threads of its own, where in an unattended run a box would wait for
  // nobody.
  const UINT own_mode = GetErrorMode();
  SetErrorMode((own_mode & ~SEM_NOGPFAULTERRORBOX) | (StartingErrorMode() & SEM_NOGPFAULTERRORBOX));
  const BOOL started = ShellExecuteExW(&request);
  const DWORD error = GetLastError();
  SetErrorMode(own_mode);
  SetLastError(error);
  return started != FALSE;
}

bool LaunchBrowser(const std::wstring& install_dir, bool new_user) {
  // Only a new user's browser gets the first-run argument; anyone else's starts as usual.
  // The request asks the browser to start hidden; the browser decides what it shows. A
  // browser that cannot start is the install's to report: no shell message box may wait
  // for a user who is not there, as in a silent install. It starts in its own folder.
  return ShellOpen((install_dir + kBrowserExe).c_str(), new_user ? kFirstLaunchArgument : nullptr, SW_HIDE,
                   /*error_owner=*/nullptr, install_dir.c_str());
}

bool IsBrowserRunning() {
  // One we may not open exists too.
  for (const wchar_t* name : {kBrowserMutexName, kUpdaterMutexName}) {
    ScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name));
    if (mutex.IsValid() || GetLastError() == ERROR_ACCESS_DENIED) return true;
  }
  return false;
}

bool ShouldStopRunningBrowser(bool browser_running) {
  std::wstring location;
  return browser_running && ReadInstallLocation(&location) == ERROR_SUCCESS && !location.empty();
}

bool StopInstalledPrograms(const std::wstring& location) {
  // Only a location in the form an install records names an installation: any other (empty,
  // relative) would be taken as relative to the current folder, whose programs are not ours.
  if (!IsValidInstallPath(location.c_str())) return true;
  // Joined with exactly one separator, whether or not the stored location ends with one.
  std::wstring paths[3];
  const wchar_t* const names[3] = {kBrowserExe, kWebExe, kUpdateExe};
  for (int i = 0; i < 3; ++i) {
    wchar_t path[MAX_PATH];
    lstrcpynW(path, location.c_str(), MAX_PATH);
    // A location too long to take the name stays empty, which no program's path equals.
    if (PathAppendW(path, names[i])) paths[i] = path;
  }

  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.Get(), &entry)) return false;
  // A program that outlives its termination, or that we may not end, is reported rather
  // than ignored: installing over its files would fail later, or worse, half succeed. The
  // others are still ended.
  DWORD still_running = ERROR_SUCCESS;
  do {
    bool watched = false;
    for (const wchar_t* name : names) watched = watched || lstrcmpiW(entry.szExeFile, name) == 0;
    // One started by its short path is listed by its short name ("KELOBR~1.EXE"): its path
    // decides.
    watched = watched || wcschr(entry.szExeFile, L'~') != nullptr;
    const DWORD ended = watched ? EndIfInstalled(entry, paths) : ERROR_SUCCESS;
    if (ended != ERROR_SUCCESS) still_running = ended;
  } while (Process32NextW(snapshot.Get(), &entry));
  SetLastError(still_running);
  return still_running == ERROR_SUCCESS;
}

}  // namespace kelo
