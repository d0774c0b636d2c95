#pragma once
// The account this program runs as.
#include <windows.h>

namespace kelo {

// The account this process runs as, read from its token.
class OwnAccount {
 public:
  OwnAccount();
  OwnAccount(const OwnAccount&) = delete;
  OwnAccount& operator=(const OwnAccount&) = delete;

  // Null when the token could not be read.
  PSID sid() { return read_ ? token_user_.user.User.Sid : nullptr; }

 private:
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } token_user_;
  bool read_ = false;
};

// Whether `sid` is an account services run as (LocalSystem, LocalService, NetworkService):
// none is a person's, with a desktop, a start menu and a browser of its own.
bool IsServiceAccount(PSID sid);

// Whether this process runs as such an account (a deployment tool's run as SYSTEM).
bool RunsAsServiceAccount();

}  // namespace kelo
