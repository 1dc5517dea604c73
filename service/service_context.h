// What every session of the service shares.
#ifndef BREVANTO_SERVICE_SERVICE_CONTEXT_H_
#define BREVANTO_SERVICE_SERVICE_CONTEXT_H_

#include <chrono>

class Catalog;
class ClientRegistry;
class ConnectionTable;
class GroupCommit;
class LocalRoots;
class LoginThrottle;

// Time limits of a connection; zero means none.
struct SessionTimeouts {
  // From its start until it logs in or shows a valid ClientID.
  std::chrono::milliseconds login_grace{0};
  // Between two requests once logged in.
  std::chrono::milliseconds idle{0};
};

struct ServiceContext {
  int data_fd = -1;  // ROOT/data, the parent of every user's folder
  Catalog* catalog = nullptr;
  ClientRegistry* clients = nullptr;
  const LocalRoots* local_roots = nullptr;
  GroupCommit* commits = nullptr;  // stores uploads with their rows
  // Optional: without them connections are not counted and logins not
  // slowed down.
  ConnectionTable* connections = nullptr;
  LoginThrottle* throttle = nullptr;
  SessionTimeouts timeouts;
};

#endif  // BREVANTO_SERVICE_SERVICE_CONTEXT_H_
