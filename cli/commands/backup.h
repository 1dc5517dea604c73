// backup: copies a local directory tree into a storage directory and stores
// the backup's manifest (its snapshot) beside it.
#ifndef BREVANTO_CLI_BACKUP_H_
#define BREVANTO_CLI_BACKUP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/local/exclusion.h"
#include "cli/local/local_tree.h"
#include "cli/output/progress.h"
#include "cli/remote/session.h"

struct BackupOptions {
  std::string local_dir;
  std::string remote_dir;
  bool copy_links = false;  // follow links to files
  bool checksum = false;    // compare content, not size and time, with the last backup
  bool delete_missing = false;  // remove stored entries that are gone locally
  bool dry_run = false;         // print what would be sent and removed; change nothing
  std::size_t transfers = 4;    // clients at work at once
  unsigned lock_wait = 60;      // seconds to wait while another backup of REMOTE_DIR runs
  // Left out: entries matching these gitignore-style patterns, or those of
  // these files (one a line), directories tagged CACHEDIR.TAG (but the tag),
  // files larger than a size ("500M"; empty: none).
  std::vector<std::string> excludes;
  std::vector<std::string> exclude_files;
  bool exclude_caches = false;
  std::string exclude_larger_than;
};

// What the storage holds is learnt from one recursive listing, the last
// backup from its manifest: a file whose size and modification time match
// the manifest (with `checksum`: whose content does) is neither read nor
// sent. New files are added, changed ones updated, missing directories
// created. The local service is asked first whether it may read the local
// directory. Returns an exit code: 1 when any entry could not be backed up,
// or the storage is full (nothing more is sent then); kNoSession when the
// connection broke (the manifest then lists what was sent, marked
// incomplete, through a new connection). SIGINT or SIGTERM stores that
// manifest and ends the process at once with kInterrupted. With `dry_run`
// it prints what it would send, create and remove, and changes nothing.
// Backups of one REMOTE_DIR take turns (backup_lock.h): the lock is taken
// before the local tree is read and released once the manifest is stored,
// on every way out (a new client releases it after Ctrl-C or a broken
// connection); a dry run takes none.
int run_backup(Session& session, ProgressMode mode, const BackupOptions& options);

// The walk a backup with `options` makes of its local directory, with the
// exclusion options read into `rules` (which `walk` points to). A backup to
// the top of the storage leaves out a local top-level ".history", with a
// notice: that name is the storage's folder of earlier versions. False,
// after printing why as "<command>: ...", when an --exclude-file cannot be
// read or --exclude-larger-than is no size.
bool backup_walk_options(const BackupOptions& options, const char* command, ExcludeRules& rules,
                         WalkOptions& walk);

#endif  // BREVANTO_CLI_BACKUP_H_
