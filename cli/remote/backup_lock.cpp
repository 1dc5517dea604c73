#include "cli/remote/backup_lock.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <sstream>
#include <thread>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local/local_file.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

namespace {

// The local service's "not found" and "already exists"; the cloud
// library's "not found".
constexpr int kServiceNotFound = 3;
constexpr int kServiceExists = 4;
constexpr int kCloudNotFound = -1003;
constexpr auto kRetryPause = std::chrono::milliseconds(500);

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) != 0) return "unknown";
  return name;
}

struct Holder {
  std::string host;
  long pid = 0;
  std::int64_t started = 0;  // Unix seconds
  bool whole = false;        // all three were read
};

Holder parse_holder(const std::string& text) {
  Holder holder;
  std::istringstream lines(text);
  bool host = false, pid = false, started = false;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    try {
      if (key == "host") host = !(holder.host = value).empty();
      if (key == "pid") pid = (holder.pid = std::stol(value)) > 0;
      if (key == "started") started = (holder.started = std::stoll(value)) > 0;
    } catch (const std::exception&) {
    }
  }
  holder.whole = host && pid && started;
  return holder;
}

std::string describe(const Holder& holder) {
  if (!holder.whole) return "an unknown holder";
  char when[32] = "?";
  const std::time_t t = static_cast<std::time_t>(holder.started);
  std::tm tm{};
  if (gmtime_r(&t, &tm) != nullptr) std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tm);
  return "process " + std::to_string(holder.pid) + " on " + holder.host + " (since " + when +
         " UTC)";
}

// Why the holder's lock may be broken; empty when it holds.
std::string stale_reason(const Holder& holder) {
  if (!holder.whole) return "it names no holder";
  if (holder.host == host_name() && kill(static_cast<pid_t>(holder.pid), 0) != 0 &&
      errno == ESRCH) {
    return "that process is gone";
  }
  const std::int64_t age = static_cast<std::int64_t>(std::time(nullptr)) - holder.started;
  if (age > std::chrono::duration_cast<std::chrono::seconds>(kStaleLockAge).count()) {
    return "it is older than " + std::to_string(kStaleLockAge.count()) + " hours";
  }
  return "";
}

enum class Read { kFound, kMissing, kFailed };

// True when `status` says the storage path does not exist.
bool missing(Session& session, int status) {
  return (status == -3 && session.error_code() == kServiceNotFound) || status == kCloudNotFound;
}

// The stored lock's text.
Read read_lock(Session& session, const std::string& remote, const std::string& scratch_dir,
               std::string& text, std::string& error) {
  const std::string scratch = unused_path(scratch_dir, kLockName);
  const int status = session.client().downloadfile(widen(scratch).c_str(), widen(remote).c_str(),
                                                   kOverwrite, nullptr, nullptr);
  if (status != 0) {
    unlink(scratch.c_str());
    if (missing(session, status)) return Read::kMissing;
    error = session.failure(status);
    return Read::kFailed;
  }
  const bool read = read_whole_file(scratch, text, error);
  unlink(scratch.c_str());
  return read ? Read::kFound : Read::kFailed;
}

}  // namespace

BackupLock::BackupLock(Session& session, std::string remote_root, std::string scratch_dir)
    : session_(session), remote_root_(std::move(remote_root)),
      scratch_dir_(std::move(scratch_dir)) {}

BackupLock::~BackupLock() { release(); }

std::string BackupLock::lock_path() const { return storage_join(remote_root_, kLockName); }

std::string BackupLock::own_content() const {
  return "host=" + host_name() + "\npid=" + std::to_string(getpid()) +
         "\nstarted=" + std::to_string(static_cast<long long>(started_)) + "\n";
}

int BackupLock::cannot(const std::string& what, int status) {
  print_error("backup: cannot " + what + ": " + session_.failure(status));
  return connection_lost(status, session_.cloud()) ? exit_codes::kNoSession : exit_codes::kFailed;
}

BackupLock::Attempt BackupLock::try_local(const std::wstring& local, std::string& text, int& rc) {
  // AddFile fails when the lock exists: of two runs one alone makes it, in
  // one request when no other runs. Only a refusal asks who holds it.
  const int status = session_.client().addfile(local.c_str(), widen(lock_path()).c_str(),
                                               nullptr, nullptr);
  if (status == 0) return Attempt::kTaken;
  if (!(status == -3 && session_.error_code() == kServiceExists)) {
    rc = cannot("lock " + remote_root_, status);
    return Attempt::kFailed;
  }
  return read_holder(text, rc);
}

BackupLock::Attempt BackupLock::try_cloud(const std::wstring& local,
                                          const std::function<int()>& make_root, std::string& text,
                                          int& rc) {
  // The cloud's upload replaces a file: a holder is looked for first, and
  // the lock is read back after the upload, the last upload holding it.
  const Attempt before = read_holder(text, rc);
  if (before != Attempt::kGone) return before;
  const std::wstring remote = widen(lock_path());
  int status = session_.client().addfile(local.c_str(), remote.c_str(), nullptr, nullptr);
  if (status == kCloudNotFound) {  // the upload makes no folders: a first backup
    if ((status = make_root()) != 0) {
      rc = cannot("mkdir " + remote_root_, status);
      return Attempt::kFailed;
    }
    status = session_.client().addfile(local.c_str(), remote.c_str(), nullptr, nullptr);
  }
  if (status != 0) {
    rc = cannot("lock " + remote_root_, status);
    return Attempt::kFailed;
  }
  const Attempt after = read_holder(text, rc);
  return after == Attempt::kHeld && text == content_ ? Attempt::kTaken : after;
}

BackupLock::Attempt BackupLock::read_holder(std::string& text, int& rc) {
  std::string error;
  switch (read_lock(session_, lock_path(), scratch_dir_, text, error)) {
    case Read::kFound:
      return Attempt::kHeld;
    case Read::kMissing:
      return Attempt::kGone;
    case Read::kFailed:
      break;
  }
  print_error("backup: cannot read the lock " + lock_path() + ": " + error);
  rc = exit_codes::kFailed;
  return Attempt::kFailed;
}

int BackupLock::acquire(std::chrono::seconds wait, const std::function<int()>& make_root) {
  started_ = static_cast<std::int64_t>(std::time(nullptr));
  content_ = own_content();
  std::string scratch, error;
  if (!write_scratch_file(scratch_dir_, kLockName, content_, scratch, error)) {
    print_error("backup: cannot write the lock " + lock_path() + ": " + error);
    return exit_codes::kFailed;
  }
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove_scratch{scratch};
  const std::wstring local = widen(scratch);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool announced = false;
  for (;;) {
    if (interrupted()) exit_interrupted();
    std::string text;
    int rc = exit_codes::kFailed;
    const Attempt attempt = session_.cloud() ? try_cloud(local, make_root, text, rc)
                                             : try_local(local, text, rc);
    if (attempt == Attempt::kTaken) break;
    if (attempt == Attempt::kFailed) return rc;
    if (attempt == Attempt::kGone) continue;  // its holder just removed it
    const Holder holder = parse_holder(text);
    const std::string stale = stale_reason(holder);
    if (!stale.empty()) {
      print_notice("backup: breaking the lock " + lock_path() + " of " + describe(holder) +
                   ": " + stale);
      session_.client().removefile(widen(lock_path()).c_str());
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      print_error("backup: " + remote_root_ + " is being backed up by " + describe(holder) +
                  "; try again once it is done");
      return exit_codes::kFailed;
    }
    if (!announced) {
      print_notice("backup: " + remote_root_ + " is being backed up by " + describe(holder) +
                   "; waiting up to " + std::to_string(wait.count()) + " s");
      announced = true;
    }
    for (auto pause = kRetryPause; pause.count() > 0 && !interrupted();
         pause -= std::chrono::milliseconds(100)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  held_ = true;
  return exit_codes::kOk;
}

bool BackupLock::in_doubt(const Session& session) const {
  if (session.cloud()) return true;
  const std::int64_t held_for = static_cast<std::int64_t>(std::time(nullptr)) - started_;
  return held_for < 0 ||
         held_for >= std::chrono::duration_cast<std::chrono::seconds>(kStaleLockAge / 2).count();
}

void BackupLock::release(Session& session) {
  if (!held_) return;
  held_ = false;
  // Only this run's own lock goes: one broken as stale is another's now.
  // On the local service that happens only to a lock that looks old, so
  // the lock is read first only then; on the cloud an upload of another
  // run may have replaced it at any time.
  if (in_doubt(session)) {
    std::string text, error;
    const Read read = read_lock(session, lock_path(), scratch_dir_, text, error);
    if (read == Read::kMissing || (read == Read::kFound && text != content_)) return;
    if (read == Read::kFailed) {
      print_error("backup: cannot remove the lock " + lock_path() + ": " + error +
                  "; the next backup from this host breaks it");
      return;
    }
  }
  const int status = session.client().removefile(widen(lock_path()).c_str());
  if (status != 0 && !missing(session, status)) {
    print_error("backup: cannot remove the lock " + lock_path() + ": " + session.failure(status) +
                "; the next backup from this host breaks it");
  }
}
