// Commands that read the storage: ls, stat, exists, df. Each returns an exit
// code (exit_codes.h) and prints its failures to stderr.
#ifndef BREVANTO_CLI_INSPECT_COMMANDS_H_
#define BREVANTO_CLI_INSPECT_COMMANDS_H_

#include <string>

#include "cli/remote/session.h"

struct ListOptions {
  bool recursive = false;
  bool long_format = false;  // size, modification time (local), reversion
  bool json = false;         // one JSON document with every field
  bool all = false;          // "\.history" too, in a listing of the top
  // A point of "\.history": the path as the tree held it then, shown as a
  // path of that tree. Empty: as it is.
  std::string point;
  // Names as the storage holds them: an encoded name (stored_name.h) is not
  // replaced by the real name its backup's manifest keeps.
  bool stored = false;
  // A local folder the service may write, for the manifests' trips.
  std::string scratch_dir;  // empty: a private folder (scratch_folder.h)
};

// One line per entry, sorted; directories end in '\'. A file lists itself.
// A listing of the top leaves out "\.history" unless options.all. Unless
// options.stored, encoded names are shown as the real names the manifests
// of their backups keep (fetched only when the listing holds one).
int run_ls(Session& session, const std::string& path, const ListOptions& options);
int run_stat(Session& session, const std::string& path, bool json);
// Exit code 0 when the path exists, 1 when not.
int run_exists(Session& session, const std::string& path);
// Exit code 1 when the back end knows neither figure.
int run_df(Session& session);

#endif  // BREVANTO_CLI_INSPECT_COMMANDS_H_
