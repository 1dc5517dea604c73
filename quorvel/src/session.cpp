#include "session.h"

#include "quorvel/Quorvel.h"

namespace quorvel {
namespace {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

SessionState& State() {
  static SessionState state;
  return state;
}

}  // namespace

SessionLock::SessionLock() : lock_(Mutex()), state_(&State()) {}

int SessionLock::Check() const { return state_->logged_in ? QV_OK : QV_E_NOT_LOGGED_IN; }

}  // namespace quorvel
