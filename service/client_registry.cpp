#include "service/client_registry.h"

#include <sodium.h>

std::string ClientRegistry::add(const Binding& binding) {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof(bytes));
  char hex[sizeof(bytes) * 2 + 1];
  sodium_bin2hex(hex, sizeof(hex), bytes, sizeof(bytes));
  const std::string id(hex);

  std::lock_guard<std::mutex> lock(mu_);
  bindings_[id] = binding;
  order_.push_back(id);
  while (bindings_.size() > kMaxClients || order_.size() > 2 * kMaxClients) {
    bindings_.erase(order_.front());
    order_.pop_front();
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
