// Where a RADOS content store lives, as the service's --contents option
// names it:
//
//   rados://POOL?conf=/etc/ceph/ceph.conf&ns=NAMESPACE&id=CLIENT&timeout=SECONDS
//
// Only POOL and conf are required. ns is the pool's object namespace (so
// that several stores may share one pool), id the client name whose
// keyring ceph.conf points to ("admin" by default), timeout how long a
// request to the cluster may take before it fails (30 s by default).
#ifndef BREVANTO_SERVICE_STORE_RADOS_TARGET_H_
#define BREVANTO_SERVICE_STORE_RADOS_TARGET_H_

#include <string>

struct RadosTarget {
  std::string pool;
  std::string conf;
  std::string ns;
  std::string id = "admin";
  unsigned timeout_seconds = 30;
};

// Parses `url`. False with `*error` set when it is not one; values are
// taken as written (no percent-decoding), a path may not hold '&'.
bool parse_rados_target(const std::string& url, RadosTarget* target, std::string* error);

#endif  // BREVANTO_SERVICE_STORE_RADOS_TARGET_H_
