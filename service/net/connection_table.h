// The connections the service holds, in two classes with caps of their own:
// pending connections, which have not logged in (nor shown a valid
// ClientID), and sessions, which have. A flood of silent or half-sent
// connections therefore fills only the pending slots: when they are full, a
// new connection takes the slot of the oldest pending one that is idle (no
// request being handled, none waiting unread) or, when none is, of the
// oldest whose request is still unread; that one is shut down. When every
// pending connection is busy with a request, the new one is closed.
// Logged-in sessions are never touched.
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

  mutable std::mutex mu_;
  std::list<Entry> entries_;  // in order of arrival
  std::size_t max_pending_;
  std::size_t max_sessions_;
  std::size_t pending_ = 0;
  std::size_t sessions_ = 0;
};

#endif  // BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_
