// Which backup a storage path belongs to: the nearest directory at or above
// it that holds a backup's manifest.
#ifndef BREVANTO_CLI_BACKUP_ROOT_H_
#define BREVANTO_CLI_BACKUP_ROOT_H_

#include <string>

#include "cli/remote/session.h"

// The storage directory holding `path`; the root for the root.
std::string storage_parent(const std::string& path);

// The nearest storage directory from `dir` up that holds a manifest, found
// with one `exists` request a level; empty when none. The search ends at
// the top of the tree `dir` lies in (of a point, below "\.history").
std::string nearest_backup_root(Session& session, std::string dir);

#endif  // BREVANTO_CLI_BACKUP_ROOT_H_
