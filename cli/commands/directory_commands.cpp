#include "cli/commands/directory_commands.h"

#include <cstdio>
#include <list>

#include "cli/exit_codes.h"
#include "cli/output/output.h"
#include "cli/remote/remote_tree.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

int run_mkdir(Session& session, const std::string& typed) {
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  const int status = session.client().adddir(widen(path).c_str());
  if (status != 0) return session.fail("mkdir " + path, status);
  if (json_output()) print_json(JsonObject().string("path", path).boolean("created", true));
  return exit_codes::kOk;
}

namespace {

enum class Removal { kFile, kEmptyDirectory, kTree };

// True when the directory holds nothing; false, after printing why, when
// it holds something or cannot be listed.
bool is_empty_directory(Session& session, const std::string& path, int& rc) {
  std::list<_path_buffer*> entries;
  const int status = session.client().getfilelist(widen(path).c_str(), false, entries);
  const bool empty = entries.empty();
  session.client().releasefilelist(entries);
  if (status != 0) {
    rc = session.fail("rmdir " + path, status);
    return false;
  }
  if (!empty) {
    print_error("rmdir " + path + ": directory not empty; use purge (or rmdir -r) to remove it "
                "with everything in it");
    rc = exit_codes::kFailed;
  }
  return empty;
}

// The local service removes files and directories (with their content)
// through one request, so each command makes sure of the kind first.
int remove_entry(Session& session, const std::string& typed, Removal removal) {
  const char* name = removal == Removal::kFile ? "rm" : removal == Removal::kTree ? "purge" : "rmdir";
  if (const int rc = session.open()) return rc;
  const std::string path = to_storage_path(typed);
  CBrevanto& client = session.client();
  const bool directory = removal != Removal::kFile;
  if (!session.cloud()) {
    const EntryKind kind = entry_kind(session, path);
    if (kind == (directory ? EntryKind::kFile : EntryKind::kDirectory)) {
      print_error(std::string(name) + " " + path + ": " +
                  (directory ? "is a file; use rm" : "is a directory; use rmdir or purge"));
      return exit_codes::kFailed;
    }
  }
  int rc = exit_codes::kOk;
  if (removal == Removal::kEmptyDirectory && !is_empty_directory(session, path, rc)) return rc;
  const std::wstring wide = widen(path);
  const int status = directory ? client.removedir(wide.c_str()) : client.removefile(wide.c_str());
  if (status != 0) return session.fail_lookup(std::string(name) + " " + path, status, path);
  if (json_output()) {
    print_json(JsonObject().string("path", path).string("type", directory ? "directory" : "file")
                   .boolean("removed", true));
  }
  return exit_codes::kOk;
}

}  // namespace

int run_rmdir(Session& session, const std::string& typed) {
  return remove_entry(session, typed, Removal::kEmptyDirectory);
}

int run_purge(Session& session, const std::string& typed) {
  return remove_entry(session, typed, Removal::kTree);
}

int run_rm(Session& session, const std::string& typed) {
  return remove_entry(session, typed, Removal::kFile);
}
