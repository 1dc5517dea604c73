// The connections the service holds, in two classes with caps of their own:
// pending connections, which have not logged in (nor shown a valid
// ClientID), and sessions, which have. A flood of silent or half-sent
// connections therefore fills only the pending slots.
//
// Both classes are shared fairly between the uids that own the clients'
// sockets (every client connects from 127.0.0.1, so the uid is what tells
// one user from another):
// - When the pending slots are full, a new connection takes the slot of a
//   connection of the uid that holds the most pending ones (the newcomer
//   counted): its oldest idle one (no request being handled, none waiting
//   unread) or, when none is, its oldest whose request is still unread.
//   That one is shut down (its socket is closed when its session ends;
//   has_room() keeps such sockets from piling up in a burst). When every
//   pending connection is busy with a request, the new one is closed. So
//   one uid's flood closes that uid's own connections, not another's.
// - When the session slots are full, a uid that holds fewer sessions than
//   its fair share, max(1, slots / uids holding sessions, itself counted),
//   still gets one: the uid that holds the most sessions gives up its
//   oldest idle one (else its oldest with a request waiting unread; one
//   handling a request never). A uid at its share gets no more while the
//   slots are full.
#ifndef BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_
#define BREVANTO_SERVICE_NET_CONNECTION_TABLE_H_

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <mutex>

class ConnectionTable {
 public:

  ConnectionTable(std::size_t max_pending, std::size_t max_sessions)
      : max_pending_(max_pending), max_sessions_(max_sessions) {}

  // Enters connection `id` on socket `sock`, owned by `uid` (-1: unknown),
  // as pending. When the pending slots are full one pending connection is
  // shut down to make room (see above; its id is put in `evicted`, else 0);
  // false when none may be, and the new connection must be closed.
  bool admit(int id, int sock, long uid, int* evicted);

  // Moves a pending connection to the sessions; false when no session slot
  // is left for its uid. When the slots are full and its uid is below its
  // share, another uid's session is shut down to make room (its id is put
  // in `evicted`, else 0). True at once for a session already.
  bool promote(int id, int* evicted);

  // A connection that is busy with a request (a login being checked, a
  // transfer) is never shut down to make room. Returns false when the
  // connection was shut down already: its request must not be handled.
  bool set_busy(int id, bool busy);

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
    long uid;
    State state = State::kPending;
    bool busy = false;
  };

  void set_state(Entry& entry, State state);
  // How many entries in `state` each uid holds.
  std::map<long, std::size_t> holds(State state) const;
  // The entry to shut down to make room in `state`: of those not busy whose
  // uid holds more than `above` and the most (by `holds`), the oldest idle
  // one, else the oldest with bytes waiting; null when there is none.
  Entry* victim(State state, const std::map<long, std::size_t>& holds, std::size_t above);
  // Shuts the entry's socket down; its slot is free from now on.
  void evict(Entry& entry);
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
