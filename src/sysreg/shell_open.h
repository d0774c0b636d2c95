#pragma once

namespace kelo {

// Starts a program or opens an address through the shell, without waiting. `parameters`
// may be null. True when the shell accepted the request.
bool ShellOpen(const wchar_t* file, const wchar_t* parameters);

}  // namespace kelo
