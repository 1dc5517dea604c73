#include "service/net/connection_table.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

std::size_t& ConnectionTable::count_of(State state) {
  return state == State::kPending ? pending_ : state == State::kSession ? sessions_ : closing_;
}

void ConnectionTable::set_state(Entry& entry, State state) {
  --count_of(entry.state);
  entry.state = state;
  ++count_of(state);
}

std::map<long, std::size_t> ConnectionTable::holds(State state) const {
  std::map<long, std::size_t> held;
  for (const Entry& e : entries_) {
    if (e.state == state) ++held[e.uid];
  }
  return held;
}

ConnectionTable::Entry* ConnectionTable::victim(State state,
                                                const std::map<long, std::size_t>& holds,
                                                std::size_t above) {
  // Bytes waiting mean a request on its way to its session (a login sent
  // right after connecting), so such a connection goes only when no idle
  // one of the uid can; one whose request is being handled never does.
  Entry* best = nullptr;
  std::size_t best_held = 0;
  bool best_idle = false;
  for (Entry& e : entries_) {
    if (e.state != state || e.busy) continue;
    const std::size_t held = holds.at(e.uid);
    if (held <= above || held < best_held) continue;
    if (held == best_held && best_idle) continue;
    int waiting = 0;
    const bool idle = !(::ioctl(e.sock, FIONREAD, &waiting) == 0 && waiting > 0);
    if (held == best_held && !idle) continue;
    best = &e;
    best_held = held;
    best_idle = idle;
  }
  return best;
}

void ConnectionTable::evict(Entry& entry) {
  // Its session sees the connection end and closes it.
  ::shutdown(entry.sock, SHUT_RDWR);
  set_state(entry, State::kEvicted);
}

bool ConnectionTable::admit(int id, int sock, long uid, int* evicted) {
  std::lock_guard<std::mutex> lock(mu_);
  *evicted = 0;
  if (pending_ >= max_pending_) {
    std::map<long, std::size_t> held = holds(State::kPending);
    ++held[uid];
    Entry* out = victim(State::kPending, held, 0);
    if (out == nullptr) return false;
    evict(*out);
    *evicted = out->id;
  }
  entries_.push_back(Entry{id, sock, uid});
  ++pending_;
  return true;
}

bool ConnectionTable::promote(int id, int* evicted) {
  std::lock_guard<std::mutex> lock(mu_);
  *evicted = 0;
  for (Entry& e : entries_) {
    if (e.id != id) continue;
    if (e.state == State::kSession) return true;
    if (e.state == State::kEvicted) return false;
    if (sessions_ >= max_sessions_) {
      std::map<long, std::size_t> held = holds(State::kSession);
      const std::size_t mine = held[e.uid];
      const std::size_t share = std::max<std::size_t>(1, max_sessions_ / held.size());
      if (mine >= share) return false;
      // The slots are full and this uid is below its share: some uid holds
      // more than its share, and gives up a session.
      Entry* out = victim(State::kSession, held, share);
      if (out == nullptr) return false;
      evict(*out);
      *evicted = out->id;
    }
    set_state(e, State::kSession);
    return true;
  }
  return false;
}

bool ConnectionTable::set_busy(int id, bool busy) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.id != id) continue;
    e.busy = busy;
    return e.state != State::kEvicted;
  }
  return false;
}

void ConnectionTable::close(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->id != id) continue;
    --count_of(it->state);
    ::close(it->sock);
    entries_.erase(it);
    return;
  }
}

void ConnectionTable::shutdown_all() {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Entry& e : entries_) ::shutdown(e.sock, SHUT_RDWR);
}

bool ConnectionTable::has_room() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closing_ < max_pending_;
}

std::size_t ConnectionTable::pending() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pending_;
}

std::size_t ConnectionTable::sessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_;
}

ConnectionCaps fit_caps(ConnectionCaps wanted, std::size_t limit, std::size_t in_use) {
  const std::size_t taken = in_use + kSpareDescriptors;
  const std::size_t free = limit > taken ? limit - taken : 0;
  if (wanted.sessions * kSessionDescriptors + wanted.pending * kPendingDescriptors <= free) {
    return wanted;
  }
  ConnectionCaps caps;
  caps.sessions =
      std::max<std::size_t>(1, std::min(wanted.sessions, free * 3 / 4 / kSessionDescriptors));
  const std::size_t left =
      free > caps.sessions * kSessionDescriptors ? free - caps.sessions * kSessionDescriptors : 0;
  caps.pending = std::max<std::size_t>(1, std::min(wanted.pending, left / kPendingDescriptors));
  return caps;
}
