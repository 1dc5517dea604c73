#include "cli/directory_commands.h"

#include <cstdio>
#include <list>

#include "cli/exit_codes.h"
#include "cli/storage_path.h"
#include "cli/text.h"

int run_mkdir(Session& session, const std::string& typed) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  const int status = session.client().adddir(widen(path).c_str());
  if (status != 0) return session.fail("mkdir " + path, status);
  return exit_codes::kOk;
}

namespace {

enum class EntryKind { kUnknown, kFile, kDirectory };

// What a storage path names, from its parent's listing; kUnknown when the
// listing fails or does not hold it.
EntryKind entry_kind(CBrevanto& client, const std::string& path) {
  if (path == "\\") return EntryKind::kDirectory;
  const std::size_t cut = path.find_last_of('\\');
  const std::string parent = cut == 0 ? "\\" : path.substr(0, cut);
  std::list<_path_buffer*> entries;
  EntryKind kind = EntryKind::kUnknown;
  if (client.getfilelist(widen(parent).c_str(), false, entries) == 0) {
    for (const _path_buffer* entry : entries) {
      if (entry && to_storage_path(narrow(entry->full_path)) == path) {
        kind = entry->is_dir == 1 ? EntryKind::kDirectory : EntryKind::kFile;
      }
    }
  }
  client.releasefilelist(entries);
  return kind;
}

// The local service removes files and directories (with their content)
// through one request, so rm and rmdir make sure of the kind first.
int remove_entry(Session& session, const std::string& typed, bool directory) {
  const char* name = directory ? "rmdir" : "rm";
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  CBrevanto& client = session.client();
  if (!session.cloud()) {
    const EntryKind kind = entry_kind(client, path);
    if (kind == (directory ? EntryKind::kFile : EntryKind::kDirectory)) {
      std::fprintf(stderr, "%s %s: %s\n", name, path.c_str(),
                   directory ? "is a file; use rm" : "is a directory; use rmdir");
      return exit_codes::kFailed;
    }
  }
  const std::wstring wide = widen(path);
  const int status = directory ? client.removedir(wide.c_str()) : client.removefile(wide.c_str());
  if (status != 0) return session.fail(std::string(name) + " " + path, status);
  return exit_codes::kOk;
}

}  // namespace

int run_rmdir(Session& session, const std::string& typed) {
  return remove_entry(session, typed, true);
}

int run_rm(Session& session, const std::string& typed) {
  return remove_entry(session, typed, false);
}
