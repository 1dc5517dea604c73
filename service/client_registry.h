// The ClientIDs handed out at login. Each is bound to one (user, project)
// and to nothing else: any connection may present it until logout. They
// live in memory only, so a restart invalidates every one.
#ifndef BREVANTO_SERVICE_CLIENT_REGISTRY_H_
#define BREVANTO_SERVICE_CLIENT_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <deque>
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
  // At most this many ClientIDs are kept; the oldest go first.
  static constexpr std::size_t kMaxClients = 4096;

  // A new ClientID: 32 lower-case hex digits of 128 random bits.
  std::string add(const Binding& binding);
  std::optional<Binding> find(const std::string& client_id) const;
  void remove(const std::string& client_id);

 private:
  mutable std::mutex mu_;
  std::unordered_map<std::string, Binding> bindings_;
  std::deque<std::string> order_;  // may hold IDs already removed
};

#endif  // BREVANTO_SERVICE_CLIENT_REGISTRY_H_
