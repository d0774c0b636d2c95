#pragma once
// What screen readers learn of an image control: the system's standard accessible object
// of its window (its name is the window text) with the role and state said right, which
// the standard object cannot know of an owner-drawn button: a push button, or a check box
// that is checked or not; of a label that opens a page: a link, followed by its window's
// command; and of the words over the progress indicator: a progress bar.
#include <windows.h>
#include <oleacc.h>

#include <string>

namespace kelo {

// Sent to a control by its accessible object for its description, and for a progress
// bar's value, asked at each reading (a reader may keep the object while they change). The
// control answers by filling WordsAsked(), which is null but while the object asks on this
// thread: the same message posted by another program finds nothing to fill. A control that
// does not answer, or leaves them empty, has the standard object's words.
inline constexpr UINT WM_KELO_GETDESCRIPTION = WM_APP + 1;
inline constexpr UINT WM_KELO_GETVALUE = WM_APP + 2;
std::wstring* WordsAsked();

// The answer to WM_GETOBJECT for the control's own client object, in the role given
// (ROLE_SYSTEM_...; a check box's state is its BM_GETCHECK, asked at each reading; a link's
// default action posts WM_COMMAND with its id to its parent), named `name` when one is
// given (a field has no words of its own); 0 (pass the message on) for any other object,
// or when accessibility is not to be had.
LRESULT AnswerGetObject(HWND window, WPARAM wparam, LPARAM lparam, LONG role, const wchar_t* name = nullptr);

}  // namespace kelo
