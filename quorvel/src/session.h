// The process-wide session: whether a login succeeded, on which root, for
// which account, and the bytes that uploads in flight have reserved. One
// mutex guards it; a transfer holds it only to start and to commit.
#ifndef QUORVEL_SRC_SESSION_H_
#define QUORVEL_SRC_SESSION_H_

#include <cstdint>
#include <mutex>

#include "account.h"
#include "root_folder.h"

namespace quorvel {

struct SessionState {
  bool logged_in = false;
  std::uint64_t generation = 0;  // changes at every login and logout
  RootLayout layout;
  Account account;
  std::uint64_t reserved = 0;  // bytes of uploads in flight
};

class SessionLock {
 public:
  SessionLock();
  SessionState& state() { return *state_; }
  // QV_OK when logged in, else QV_E_NOT_LOGGED_IN.
  int Check() const;

 private:
  std::unique_lock<std::mutex> lock_;
  SessionState* state_;
};

}  // namespace quorvel

#endif  // QUORVEL_SRC_SESSION_H_
