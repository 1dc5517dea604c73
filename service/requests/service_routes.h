// The service's requests and their handlers, for ServiceContext::routes.
#ifndef BREVANTO_SERVICE_REQUESTS_SERVICE_ROUTES_H_
#define BREVANTO_SERVICE_REQUESTS_SERVICE_ROUTES_H_

#include "service/net/request_routes.h"

const RequestRoutes& service_routes();

#endif  // BREVANTO_SERVICE_REQUESTS_SERVICE_ROUTES_H_
