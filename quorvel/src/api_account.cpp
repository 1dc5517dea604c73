// QV_Login, QV_Logout, the space queries and the account operations.
#include <string>

#include "account.h"
#include "guarded.h"
#include "quorvel/Quorvel.h"
#include "quota.h"
#include "session.h"
#include "wide_text.h"

using namespace quorvel;

namespace {

bool WideToUtf8(const wchar_t* text, std::string* out) {
  std::u16string utf16;
  return WideToUtf16(text, &utf16) && Utf16ToUtf8(utf16, out);
}

// Used bytes and the plan's quota of the session's account.
int SpaceOf(SessionState& state, std::uint64_t* used, std::uint64_t* quota) {
  *quota = PlanQuota(state.account.plan);
  return UsedSpace(state.layout.FilesFolder(), used);
}

}  // namespace

int QUORVEL_CALL QV_Login(const wchar_t* user, const wchar_t* password) {
  return Guarded([&]() -> int {
    SessionLock lock;
    SessionState& state = lock.state();
    // Whatever happens next, the earlier session is over.
    state.logged_in = false;
    ++state.generation;
    state.reserved = 0;

    std::string user_utf8, password_utf8;
    if (!WideToUtf8(user, &user_utf8) || user_utf8.empty() ||
        !WideToUtf8(password, &password_utf8)) {
      return QV_E_BAD_LOGIN;
    }
    RootLayout layout;
    if (!ChooseRoot(&layout) || !PrepareRoot(layout)) return QV_E_IO;

    Account account;
    int result = LoadAccount(layout.AccountFile(), &account);
    if (result == QV_E_NOT_FOUND) {
      account = NewAccount(user_utf8, password_utf8);
      result = SaveAccount(layout.AccountFile(), account);
    } else if (result == QV_OK && !Matches(account, user_utf8, password_utf8)) {
      result = QV_E_BAD_LOGIN;
    }
    if (result != QV_OK) return result;

    state.layout = layout;
    state.account = account;
    state.logged_in = true;
    return QV_OK;
  });
}

int QUORVEL_CALL QV_Logout() {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    lock.state().logged_in = false;
    ++lock.state().generation;
    lock.state().reserved = 0;
    return QV_OK;
  });
}

std::int64_t QUORVEL_CALL QV_GetFreeSpace() {
  return Guarded([&]() -> std::int64_t {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    std::uint64_t used = 0, quota = 0;
    if (const int result = SpaceOf(lock.state(), &used, &quota)) return result;
    return used >= quota ? 0 : static_cast<std::int64_t>(quota - used);
  });
}

std::int64_t QUORVEL_CALL QV_GetUsedSpace() {
  return Guarded([&]() -> std::int64_t {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    std::uint64_t used = 0, quota = 0;
    if (const int result = SpaceOf(lock.state(), &used, &quota)) return result;
    return static_cast<std::int64_t>(used);
  });
}

int QUORVEL_CALL QV_UpgradeToNextPlan() {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    SessionState& state = lock.state();
    if (state.account.plan >= kTopPlan) return QV_E_TOP_PLAN;
    Account upgraded = state.account;
    ++upgraded.plan;
    if (const int result = SaveAccount(state.layout.AccountFile(), upgraded)) return result;
    state.account = upgraded;
    return QV_OK;
  });
}

int QUORVEL_CALL QV_CheckUserCCInfo() {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    return lock.state().account.card;
  });
}
