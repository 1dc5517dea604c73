// The one account of a root folder, kept in its account file as UTF-8 lines
// of "key value":
//
//   quorvel-account 1
//   user <hex of the user name's UTF-8>
//   salt <hex>
//   iterations <decimal>
//   hash <hex of the password hash, see password_hash.h>
//   plan <decimal, 0 .. kTopPlan>
//   card <decimal QuorvelCardState>
#ifndef QUORVEL_SRC_ACCOUNT_H_
#define QUORVEL_SRC_ACCOUNT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorvel {

struct Account {
  std::string user_utf8;
  std::vector<std::uint8_t> salt;
  std::uint32_t iterations = 0;
  std::vector<std::uint8_t> hash;
  int plan = 0;
  int card = 0;
};

// A new account with a fresh salt, on plan 0 with a valid card.
Account NewAccount(const std::string& user_utf8, const std::string& password_utf8);

bool Matches(const Account& account, const std::string& user_utf8,
             const std::string& password_utf8);

// QV_OK; QV_E_NOT_FOUND when there is no account file; QV_E_IO when it cannot
// be read or is damaged.
int LoadAccount(const std::filesystem::path& file, Account* account);

// Replaces the account file in one step; QV_OK or QV_E_IO.
int SaveAccount(const std::filesystem::path& file, const Account& account);

}  // namespace quorvel

#endif  // QUORVEL_SRC_ACCOUNT_H_
