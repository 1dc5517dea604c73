// The connections the service holds, in two classes with caps of their own:
// pending connections, which have not logged in (nor shown a valid
// ClientID), and sessions, which have. A flood of silent or half-sent
// connections therefore fills only the pending slots: when they are full, a
// new connection takes the slot of the oldest pending one that is idle (no
// request being handled, none waiting unread) or, when none is, of the
// oldest whose request is still unread; that one is shut down (its socket
// is closed when its session ends; has_room() keeps such sockets from
// piling up in a burst). When every pending connection is busy with a
// request, the new one is closed. Logged-in sessions are never touched.
#ifndef BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_
#define BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>

class ConnectionTable {
 public:

  ConnectionTable(std::size_t max_pending, std::size_t max_sessions)
      : max_pending_(max_pending), max_sessions_(max_sessions) {}

  // Enters connection `id` on socket `sock` as pending. When the pending
  // slots are full the oldest idle pending connection is shut down (its id
  // is put in `evicted`); false when none is idle, and the new connection
  // must be closed.
  bool admit(int id, int sock, int* evicted);

  // Moves a pending connection to the sessions; false when every session
  // slot is taken. True at once for a session already.
  bool promote(int id);

  // A pending connection that is busy with a request (a login being
  // checked) is not evicted.
  void set_busy(int id, bool busy);

  // Removes the connection and closes its socket, under the table's lock so
  // that a concurrent shutdown never reaches a reused descriptor.
  void close(int id);

  // Shuts every socket down (the service is stopping).
  void shutdown_all();

  // False while as many connections closed to make room as there are
  // pending slots still hold their sockets (their sessions have yet to
  // close them): a new connection should wait in the listen queue, or the
  // descriptors would run out in a burst of connections.
  bool has_room() const;

  std::size_t pending() const;
  std::size_t sessions() const;

 private:
  enum class State { kPending, kSession, kEvicted };
  struct Entry {
    int id;
    int sock;
    State state = State::kPending;
    bool busy = false;
  };

  void set_state(Entry& entry, State state);
  std::size_t& count_of(State state);

  mutable std::mutex mu_;
  std::list<Entry> entries_;  // in order of arrival
  std::size_t max_pending_;
  std::size_t max_sessions_;
  std::size_t pending_ = 0;
  std::size_t sessions_ = 0;
  std::size_t closing_ = 0;  // evicted, socket not closed yet
};

// The caps of the two classes, fitted to the descriptors the process may
// open. Each session may hold kSessionDescriptors at a time (its socket,
// the look at what its client has read, the folders and files of a
// request), a pending connection kPendingDescriptors (its socket, the
// look at who owns it, and the socket of one connection closed to make
// room, until its session lets go of it), and kSpareDescriptors stay free
// for the rest (the listener's shedding, the catalog, the log). A service
// whose caps do not fit runs out of descriptors, and then takes no
// connection at all, real logins included; with fitted caps it sheds
// silent connections instead.
struct ConnectionCaps {
  std::size_t pending = 0;
  std::size_t sessions = 0;
};
constexpr std::size_t kSessionDescriptors = 8;
constexpr std::size_t kPendingDescriptors = 3;
constexpr std::size_t kSpareDescriptors = 16;

// `wanted`, lowered where `limit` descriptors, `in_use` of them taken, do
// not hold them: sessions get up to three quarters of what is free, pending
// connections the rest; each class keeps at least one slot.
ConnectionCaps fit_caps(ConnectionCaps wanted, std::size_t limit, std::size_t in_use);

#endif  // BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_
