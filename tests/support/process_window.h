#pragma once
// The windows a test's child process shows.
#include <windows.h>

namespace kelo::test {

// The first visible top-level window of process `id` (a message box counts); null when it
// shows none.
inline HWND VisibleWindowOf(DWORD id) {
  struct Search {
    DWORD id;
    HWND found;
  } search = {id, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* s = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->id || !IsWindowVisible(window)) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace kelo::test
