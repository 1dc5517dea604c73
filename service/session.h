// One client connection: reads requests one after another, checks the
// ClientID of each and hands it to its handler; a handler's ServiceError
// becomes an error reply. The session ends when the client closes, a reply
// cannot be sent, a request is oversized, or the service stops.
#ifndef BREVANTO_SERVICE_SESSION_H_
#define BREVANTO_SERVICE_SESSION_H_

#include <cstddef>
#include <string>

#include "service/client_registry.h"
#include "service/service_context.h"

class Request;

class Session {
 public:
  Session(ServiceContext& context, int sock, int id)
      : context_(context), sock_(sock), id_(id) {}

  void run();

  ServiceContext& context() { return context_; }
  int sock() const { return sock_; }
  int id() const { return id_; }
  // Sends one reply message; throws ClientGone.
  void send(const std::string& message);

 private:
  // Handles one request; false when the session must end.
  bool handle(const char* text, std::size_t size);
  void dispatch(const Request& request);
  // The binding of the request's ClientID; throws ServiceError(kNotLoggedIn).
  Binding authenticate(const Request& request);

  ServiceContext& context_;
  int sock_;
  int id_;
};

#endif  // BREVANTO_SERVICE_SESSION_H_
