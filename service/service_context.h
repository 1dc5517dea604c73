// What every session of the service shares.
#ifndef BREVANTO_SERVICE_SERVICE_CONTEXT_H_
#define BREVANTO_SERVICE_SERVICE_CONTEXT_H_

#include <chrono>

class AccountUids;
class Catalog;
class ClientRegistry;
class ConnectionTable;
class LocalRoots;
class LoginThrottle;
class Store;
struct RequestRoutes;

// Time limits of a connection; zero means none.
struct SessionTimeouts {
  // From its start until it logs in or shows a valid ClientID.
  std::chrono::milliseconds login_grace{0};
  // Between two requests once logged in.
  std::chrono::milliseconds idle{0};
};

struct ServiceContext {
  Catalog* catalog = nullptr;  // the accounts and the journal of local temp files
  Store* store = nullptr;      // the stored trees
  ClientRegistry* clients = nullptr;
  const LocalRoots* local_roots = nullptr;
  // Optional: without them connections are not counted and logins not
  // slowed down.
  ConnectionTable* connections = nullptr;
  LoginThrottle* throttle = nullptr;
  // Optional: without it any uid may use any account (the service still
  // reaches local files with the connecting uid's rights).
  AccountUids* account_uids = nullptr;
  // The handler of each request (requests/service_routes.h).
  const RequestRoutes* routes = nullptr;
  SessionTimeouts timeouts;
};

#endif  // BREVANTO_SERVICE_SERVICE_CONTEXT_H_
