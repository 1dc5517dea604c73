// What every session of the service shares.
#ifndef BREVANTO_SERVICE_SERVICE_CONTEXT_H_
#define BREVANTO_SERVICE_SERVICE_CONTEXT_H_

class Catalog;
class ClientRegistry;
class LocalRoots;

struct ServiceContext {
  int data_fd = -1;  // ROOT/data, the parent of every user's folder
  Catalog* catalog = nullptr;
  ClientRegistry* clients = nullptr;
  const LocalRoots* local_roots = nullptr;
};

#endif  // BREVANTO_SERVICE_SERVICE_CONTEXT_H_
