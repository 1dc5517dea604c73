// How a session hands a request to its handler. The handlers (requests/,
// accounts/) sit above the session and use it; the session reaches them only
// through this table, which the program gives it in ServiceContext
// (service_routes() in requests/service_routes.h).
#ifndef BREVANTO_SERVICE_NET_REQUEST_ROUTES_H_
#define BREVANTO_SERVICE_NET_REQUEST_ROUTES_H_

#include <vector>

struct Binding;
class Request;
class Session;

struct RequestRoutes {
  // login and logout, which need no ClientID.
  using OpenHandler = void (*)(Session&, const Request&);
  // Every other request, with the binding of its ClientID.
  using Handler = void (*)(Session&, const Request&, const Binding&);

  struct Route {
    const char* element;
    Handler handler;
  };

  OpenHandler login = nullptr;
  OpenHandler logout = nullptr;  // called once the session's changes are durable
  std::vector<Route> routes;     // requests that need a logged-in ClientID
};

#endif  // BREVANTO_SERVICE_NET_REQUEST_ROUTES_H_
