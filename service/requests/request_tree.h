// The tree a logged-in request works on: its account's project.
#ifndef BREVANTO_SERVICE_REQUESTS_REQUEST_TREE_H_
#define BREVANTO_SERVICE_REQUESTS_REQUEST_TREE_H_

#include "service/net/client_registry.h"
#include "service/store/file_catalog.h"

inline TreeId tree_of(const Binding& who) { return TreeId{who.user_id, who.project}; }

#endif  // BREVANTO_SERVICE_REQUESTS_REQUEST_TREE_H_
