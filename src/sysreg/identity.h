#pragma once
// The user's lasting installation identity, and the channel the installer was
// distributed through, recorded for the browser's statistics.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelo {

// The channel encoded in an installer's file name: the text between the first "_" and
// the first "." ("KeloSetup_1024.exe" gives "1024"); "1" when the name has no "_"; empty
// when there is no "." or it comes before the "_".
std::wstring ParseChannelId(const std::wstring& file_name);

// "{XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX} ": 39 characters, the third group in lower
// case and a space at the end, the form the browser's statistics expect.
std::wstring FormatIdentity(const GUID& guid);

// Keeps the identity stored for the user or makes one with `make_guid`, sets `*new_user`
// to 1 when there was none and 0 otherwise (a 1 from an earlier attempt of the same run
// stays), and writes the channel of `installer_name`
// and the flag to KeloS.ini in `install_dir`. False, with the registry's code as last
// error and nothing done, only when the identity key cannot be created or opened. A write
// that fails does not fail it; `unwritten`, when given, names each one with its Win32
// error ("ChannelId: error 32"), and is empty when all were written.
using GuidSource = HRESULT(WINAPI*)(GUID*);
bool RecordIdentity(const std::wstring& install_dir, const std::wstring& installer_name,
                    GuidSource make_guid, int32_t* new_user, std::wstring* unwritten = nullptr);

}  // namespace kelo
