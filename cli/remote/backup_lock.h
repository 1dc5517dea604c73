// The lock that makes backups of one storage directory take turns:
// "<dir>\.brevanto-manifest.lock", a small file naming its holder
// ("host=...", "pid=...", "started=<Unix seconds>", one a line). The local
// service's AddFile fails when the entry exists, so of two backups only one
// makes it, and taking a free lock and giving it back cost one request
// each; the other reads the lock, waits for it to go, up to a bound, and
// then gives up naming the holder. A lock of a process that is gone from this host, one
// older than kStaleLockAge, or one that names no holder, is stale and is
// broken with a notice. The name starts as the manifest's does, so no
// backup ever takes it from a local tree; listings of a backup leave it out.
#ifndef BREVANTO_CLI_BACKUP_LOCK_H_
#define BREVANTO_CLI_BACKUP_LOCK_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "cli/remote/session.h"

inline constexpr char kLockName[] = ".brevanto-manifest.lock";
inline constexpr std::chrono::hours kStaleLockAge{24};

class BackupLock {
 public:
  // For the storage directory `remote_root`; the lock travels through a
  // scratch file in `scratch_dir` (a folder the local service may read).
  BackupLock(Session& session, std::string remote_root, std::string scratch_dir);
  // Releases a lock still held, through the session given above.
  ~BackupLock();
  BackupLock(const BackupLock&) = delete;
  BackupLock& operator=(const BackupLock&) = delete;

  // Takes the lock, waiting up to `wait` while another backup holds it
  // (one notice says so). `make_root` makes the storage directory with its
  // parents and returns a library status; it is called when the cloud's
  // upload finds no folder for the lock (the local service makes it).
  // Returns an exit code, after printing why on failure; SIGINT or SIGTERM
  // while waiting ends the process (kInterrupted) with nothing held.
  int acquire(std::chrono::seconds wait, const std::function<int()>& make_root);

  // Removes the lock when held, through `session` (one that still works:
  // after a broken connection, a new client). Its content is read first
  // only where another run may have replaced it: on the cloud, or once held
  // for half of kStaleLockAge; then a lock not this run's stays. A failure
  // earns a warning: the next backup on this host breaks the lock, as its
  // process is gone.
  void release(Session& session);
  void release() { release(session_); }

 private:
  // One try at the lock: kHeld leaves the holder's content in `text`,
  // kFailed the exit code in `rc` after printing why.
  enum class Attempt { kTaken, kHeld, kGone, kFailed };
  Attempt try_local(const std::wstring& local, std::string& text, int& rc);
  Attempt try_cloud(const std::wstring& local, const std::function<int()>& make_root,
                    std::string& text, int& rc);
  Attempt read_holder(std::string& text, int& rc);
  int cannot(const std::string& what, int status);
  bool in_doubt(const Session& session) const;
  std::string lock_path() const;
  std::string own_content() const;

  Session& session_;
  const std::string remote_root_;
  const std::string scratch_dir_;
  std::int64_t started_ = 0;  // when it was taken, Unix seconds
  std::string content_;       // what this run's lock says
  bool held_ = false;
};

#endif  // BREVANTO_CLI_BACKUP_LOCK_H_
