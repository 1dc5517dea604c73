#include "service/store/rados_target.h"

#include <cstdlib>

namespace {

constexpr char kScheme[] = "rados://";

bool set_value(const std::string& key, const std::string& value, RadosTarget* target,
               std::string* error) {
  if (value.empty()) {
    *error = "empty " + key;
    return false;
  }
  if (key == "conf") {
    target->conf = value;
  } else if (key == "ns") {
    target->ns = value;
  } else if (key == "id") {
    target->id = value;
  } else if (key == "timeout") {
    char* end = nullptr;
    const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
    if (*end != '\0' || value[0] == '-' || seconds < 1 || seconds > 3600) {
      *error = "timeout must be 1 to 3600 seconds: " + value;
      return false;
    }
    target->timeout_seconds = static_cast<unsigned>(seconds);
  } else {
    *error = "unknown parameter " + key;
    return false;
  }
  return true;
}

}  // namespace

bool parse_rados_target(const std::string& url, RadosTarget* target, std::string* error) {
  *target = RadosTarget();
  if (url.compare(0, sizeof kScheme - 1, kScheme) != 0) {
    *error = "not a rados:// address: " + url;
    return false;
  }
  const std::string rest = url.substr(sizeof kScheme - 1);
  const std::size_t query = rest.find('?');
  target->pool = rest.substr(0, query);
  if (target->pool.empty() || target->pool.find('/') != std::string::npos) {
    *error = "no pool name in " + url;
    return false;
  }
  if (query != std::string::npos) {
    std::size_t at = query + 1;
    while (at <= rest.size()) {
      std::size_t end = rest.find('&', at);
      if (end == std::string::npos) end = rest.size();
      const std::string pair = rest.substr(at, end - at);
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos) {
        *error = "parameter without a value: " + pair;
        return false;
      }
      if (!set_value(pair.substr(0, eq), pair.substr(eq + 1), target, error)) return false;
      at = end + 1;
    }
  }
  if (target->conf.empty()) {
    *error = "no conf=/path/ceph.conf in " + url;
    return false;
  }
  return true;
}
