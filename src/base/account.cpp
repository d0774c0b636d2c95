#include "base/account.h"

#include "base/win_holders.h"

namespace kelo {

OwnAccount::OwnAccount() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
  ScopedHandle holder(token);
  DWORD size = 0;
  read_ = GetTokenInformation(token, TokenUser, &token_user_, sizeof(token_user_), &size) != FALSE;
}

bool IsServiceAccount(PSID sid) {
  for (const WELL_KNOWN_SID_TYPE service : {WinLocalSystemSid, WinLocalServiceSid, WinNetworkServiceSid})
    if (IsWellKnownSid(sid, service)) return true;
  return false;
}

bool RunsAsServiceAccount() {
  OwnAccount account;
  return account.sid() && IsServiceAccount(account.sid());
}

}  // namespace kelo
