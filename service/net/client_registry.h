// The ClientIDs handed out at login. Each is bound to one (user, project)
// and to nothing else: any connection may present it until logout. They
// live in memory only, so a restart invalidates every one.
#ifndef BREVANTO_SERVICE_NET_CLIENT_REGISTRY_H_
#define BREVANTO_SERVICE_NET_CLIENT_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

struct Binding {
  std::int64_t user_id = 0;
  std::string user;
  std::string project;
};

class ClientRegistry {
 public:
  static constexpr std::size_t kDefaultPerUser = 1024;

  // Each user keeps at most `per_user` ClientIDs; a login beyond that drops
  // that user's oldest. No user's logins ever drop another user's IDs.
  explicit ClientRegistry(std::size_t per_user = kDefaultPerUser) : per_user_(per_user) {}

  // A new ClientID: 32 lower-case hex digits of 128 random bits.
  std::string add(const Binding& binding);
  std::optional<Binding> find(const std::string& client_id) const;
  void remove(const std::string& client_id);

 private:
  std::size_t per_user_;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Binding> bindings_;
  // Per user, the IDs in order of login; may hold IDs already removed.
  std::map<std::int64_t, std::deque<std::string>> order_;
};

#endif  // BREVANTO_SERVICE_NET_CLIENT_REGISTRY_H_
