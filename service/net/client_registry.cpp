#include "service/net/client_registry.h"

#include <sodium.h>

std::string ClientRegistry::add(const Binding& binding) {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof(bytes));
  char hex[sizeof(bytes) * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), bytes, sizeof(bytes));
  const std::string id(hex);

  std::lock_guard<std::mutex> lock(mu_);
  bindings_[id] = binding;
  std::deque<std::string>& order = order_[binding.user_id];
  order.push_back(id);
  // Drops logged-out IDs from the front, then the oldest live ones while
  // the user holds too many.
  std::size_t live = 0;
  for (const std::string& held : order) live += bindings_.count(held);
  while (!order.empty() && (live > per_user_ || bindings_.count(order.front()) == 0)) {
    live -= bindings_.erase(order.front());
    order.pop_front();
  }
  if (order.size() > 2 * per_user_ + 16) {  // logouts left holes behind the oldest
    std::deque<std::string> kept;
    for (std::string& held : order) {
      if (bindings_.count(held) != 0) kept.push_back(std::move(held));
    }
    order.swap(kept);
  }
  return id;
}

std::optional<Binding> ClientRegistry::find(const std::string& client_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = bindings_.find(client_id);
  if (it == bindings_.end()) return std::nullopt;
  return it->second;
}

void ClientRegistry::remove(const std::string& client_id) {
  std::lock_guard<std::mutex> lock(mu_);
  bindings_.erase(client_id);
}
