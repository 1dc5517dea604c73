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

bool ConnectionTable::admit(int id, int sock, int* evicted) {
  std::lock_guard<std::mutex> lock(mu_);
  *evicted = 0;
  if (pending_ >= max_pending_) {
    // The oldest idle connection goes first. Bytes waiting mean a request
    // on its way to its session (a login sent right after connecting), so
    // such a connection goes only when no other can; one whose request is
    // being handled never does.
    Entry* oldest_idle = nullptr;
    Entry* oldest_waiting = nullptr;
    for (Entry& e : entries_) {
      if (e.state != State::kPending || e.busy) continue;
      int waiting = 0;
      if (::ioctl(e.sock, FIONREAD, &waiting) == 0 && waiting > 0) {
        if (oldest_waiting == nullptr) oldest_waiting = &e;
      } else {
        oldest_idle = &e;
        break;
      }
    }
    Entry* victim = oldest_idle != nullptr ? oldest_idle : oldest_waiting;
    if (victim == nullptr) return false;
    // Its session sees the connection end and closes it; the slot is free
    // from now on.
    ::shutdown(victim->sock, SHUT_RDWR);
    set_state(*victim, State::kEvicted);
    *evicted = victim->id;
  }
  entries_.push_back(Entry{id, sock});
  ++pending_;
  return true;
}

bool ConnectionTable::promote(int id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.id != id) continue;
    if (e.state == State::kSession) return true;
    if (e.state == State::kEvicted || sessions_ >= max_sessions_) return false;
    set_state(e, State::kSession);
    return true;
  }
  return false;
}

void ConnectionTable::set_busy(int id, bool busy) {
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_) {
    if (e.id == id) e.busy = busy;
  }
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
