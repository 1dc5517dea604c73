#include "account.h"

#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "local_fs.h"
#include "password_hash.h"
#include "quorvel/Quorvel.h"
#include "quota.h"
#include "random_bytes.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

constexpr char kHeader[] = "quorvel-account 1";

bool ReadNumber(const std::string& text, long long low, long long high, long long* value) {
  if (text.empty() || text.size() > 12) return false;
  long long number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

}  // namespace

Account NewAccount(const std::string& user_utf8, const std::string& password_utf8) {
  Account account;
  account.user_utf8 = user_utf8;
  account.salt = RandomBytes(kSaltBytes);
  account.iterations = kDefaultHashIterations;
  const Sha256Digest digest = HashPassword(account.salt, password_utf8, account.iterations);
  account.hash.assign(digest.begin(), digest.end());
  account.plan = 0;
  account.card = QV_CARD_VALID;
  return account;
}

bool Matches(const Account& account, const std::string& user_utf8,
             const std::string& password_utf8) {
  const Sha256Digest digest = HashPassword(account.salt, password_utf8, account.iterations);
  const bool same_password = SameDigest(digest, account.hash);
  return same_password && account.user_utf8 == user_utf8;
}

int LoadAccount(const fs::path& file, Account* account) {
  std::error_code error;
  if (!fs::exists(file, error)) return error ? QV_E_IO : QV_E_NOT_FOUND;
  std::ifstream in(file, std::ios::binary);
  if (!in) return QV_E_IO;
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return QV_E_IO;
  std::map<std::string, std::string> values;
  while (std::getline(in, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    values[line.substr(0, space)] = line.substr(space + 1);
  }
  if (in.bad()) return QV_E_IO;
  std::vector<std::uint8_t> user;
  long long iterations = 0, plan = 0, card = 0;
  if (!FromHex(values["user"], &user) || !FromHex(values["salt"], &account->salt) ||
      !FromHex(values["hash"], &account->hash) ||
      !ReadNumber(values["iterations"], 1, 100000000, &iterations) ||
      !ReadNumber(values["plan"], 0, kTopPlan, &plan) ||
      !ReadNumber(values["card"], 0, 1000, &card)) {
    return QV_E_IO;
  }
  account->user_utf8.assign(user.begin(), user.end());
  account->iterations = static_cast<std::uint32_t>(iterations);
  account->plan = static_cast<int>(plan);
  account->card = static_cast<int>(card);
  return QV_OK;
}

int SaveAccount(const fs::path& file, const Account& account) {
  std::ostringstream text;
  text << kHeader << "\n"
       << "user "
       << ToHex(reinterpret_cast<const std::uint8_t*>(account.user_utf8.data()),
                account.user_utf8.size())
       << "\n"
       << "salt " << ToHex(account.salt) << "\n"
       << "iterations " << account.iterations << "\n"
       << "hash " << ToHex(account.hash) << "\n"
       << "plan " << account.plan << "\n"
       << "card " << account.card << "\n";
  const std::string content = text.str();

  fs::path temp = file;
  temp += "." + ToHex(RandomBytes(8)) + ".tmp";
  OutputFile out;
  if (!out.Create(temp)) return QV_E_IO;
  const bool written = out.Write(content.data(), content.size());
  std::error_code error;
  if (!out.Commit() || !written || !MoveIntoPlace(temp, file, true, error)) {
    fs::remove(temp, error);
    return QV_E_IO;
  }
  return QV_OK;
}

}  // namespace quorvel
