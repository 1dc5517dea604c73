#include "service/local/local_user.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "service/errors.h"
#include "service/log.h"

namespace {

// The identity in force on this thread; null for the service's own.
thread_local const LocalUser* t_current = nullptr;

// The kernel's stand-in for ids it cannot show, "nobody" and "nogroup".
unsigned long overflow_id(const char* file) {
  unsigned long id = 65534;
  std::ifstream(file) >> id;
  return id;
}

// Sets this thread's file-system identity to `to`; 0 or an errno value.
// The groups go first and the uid last on the way to a client, the uid
// first on the way back, so that a failure halfway leaves the thread with
// no more rights than either side had.
int switch_to(const LocalUser& to) {
  const auto set_groups = [&] {
    return ::syscall(SYS_setgroups, to.groups.size(), to.groups.data()) == 0 ? 0 : errno;
  };
  const auto set_gid = [&] {
    ::setfsgid(to.gid);
    return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == to.gid ? 0 : EPERM;
  };
  const auto set_uid = [&] {
    ::setfsuid(to.uid);
    return static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == to.uid ? 0 : EPERM;
  };
  if (to.service) {
    if (const int err = set_uid()) return err;
    if (const int err = set_gid()) return err;
    return set_groups();
  }
  if (const int err = set_groups()) return err;
  if (const int err = set_gid()) return err;
  return set_uid();
}

const LocalUser& effective(const LocalUser* user) {
  return user != nullptr ? *user : LocalUser::service_identity();
}

bool same_identity(const LocalUser& a, const LocalUser& b) {
  return (a.service && b.service) ||
         (a.service == b.service && a.uid == b.uid && a.gid == b.gid && a.groups == b.groups);
}

}  // namespace

const LocalUser& LocalUser::service_identity() {
  static const LocalUser self = [] {
    LocalUser user;
    user.uid = ::geteuid();
    user.gid = ::getegid();
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
      user.groups.resize(static_cast<std::size_t>(count));
      user.groups.resize(static_cast<std::size_t>(::getgroups(count, user.groups.data())));
    }
    user.service = true;
    return user;
  }();
  return self;
}

LocalUser local_user_of(long known_uid) {
  const uid_t uid = static_cast<uid_t>(
      known_uid >= 0 ? static_cast<unsigned long>(known_uid)
                     : overflow_id("/proc/sys/kernel/overflowuid"));
  if (uid == ::geteuid()) return LocalUser::service_identity();
  LocalUser user;
  user.uid = uid;
  user.gid = static_cast<gid_t>(overflow_id("/proc/sys/kernel/overflowgid"));
  user.service = false;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr) return user;
  user.gid = entry.pw_gid;
  int count = 32;
  for (;;) {
    user.groups.resize(static_cast<std::size_t>(count));
    const int wanted = count;
    if (::getgrouplist(entry.pw_name, entry.pw_gid, user.groups.data(), &count) >= 0) break;
    if (count <= wanted) count = wanted * 2;  // some versions do not say how many
  }
  user.groups.resize(static_cast<std::size_t>(count));
  return user;
}

bool can_act_for_others() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1u; };
  return has(CAP_SETUID) && has(CAP_SETGID);
}

ActingAs::ActingAs(const LocalUser& user) : previous_(t_current) {
  const LocalUser& from = effective(previous_);
  if (same_identity(from, user)) {
    t_current = &user;
    return;
  }
  if (const int err = switch_to(user)) {
    if (switch_to(from) != 0) {
      log_error("cannot switch a thread back to uid %u: aborting", from.uid);
      std::abort();
    }
    throw ServiceError(kInternal, "cannot act as uid " + std::to_string(user.uid) + ": " +
                                      std::strerror(err));
  }
  t_current = &user;
}

ActingAs::~ActingAs() {
  const LocalUser& to = effective(previous_);
  if (!same_identity(*t_current, to) && switch_to(to) != 0) {
    log_error("cannot switch a thread back to uid %u: aborting", to.uid);
    std::abort();
  }
  t_current = previous_;
}
