// The Linux user a client connection belongs to, and acting with that
// user's rights on the local side.
//
// The service opens a client's local files itself. Run by root, it would
// do so with root's rights for whoever logs in; so the thread handling a
// request takes on the client's file-system identity (fsuid, fsgid and the
// user's supplementary groups) for the local work only: resolving and
// opening a source, checking a target and making its folders, creating and
// renaming the local file. Everything else (the storage root, the catalog,
// the log) is done with the service's own identity.
//
// The switch is per thread and cheap (three system calls each way; see
// README.md for the figures): setfsuid() and setfsgid() change only the
// calling thread, and the groups are set with the raw system call, since
// glibc's setgroups() changes every thread of the process.
#ifndef BREVANTO_SERVICE_LOCAL_LOCAL_USER_H_
#define BREVANTO_SERVICE_LOCAL_LOCAL_USER_H_

#include <sys/types.h>

#include <vector>

struct LocalUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
  bool service = true;        // the service's own identity: nothing to switch

  // The identity the service runs with.
  static const LocalUser& service_identity();
};

// The user with uid `uid`: its primary and supplementary groups from the
// user database; a uid without an entry gets the overflow group (nogroup)
// and no supplementary groups. The service's own uid gives
// service_identity(); -1 (unknown) the overflow user (nobody), who has no
// rights but everyone's.
LocalUser local_user_of(long uid);

// True when the process may take on other users' identities (it has
// CAP_SETUID and CAP_SETGID, as root has). Without them the service can act
// for its own uid only.
bool can_act_for_others();

// While alive, the calling thread reaches files with `user`'s rights. Scopes
// nest: each restores the identity that was in force before it, so an
// ActingAs(LocalUser::service_identity()) inside another one goes back to
// the service's rights for a while (for the catalog, say). `user` must
// outlive the scope. Failing to take on `user` throws ServiceError
// (kInternal) with the thread unchanged; failing to switch back aborts the
// process, which must never go on with a client's rights.
class ActingAs {
 public:
  explicit ActingAs(const LocalUser& user);
  ~ActingAs();
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;

 private:
  const LocalUser* previous_;
};

#endif  // BREVANTO_SERVICE_LOCAL_LOCAL_USER_H_
