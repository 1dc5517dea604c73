#include "cli/local/local_target_check.h"

#include <unistd.h>

#include "cli/exit_codes.h"
#include "cli/manifest/manifest.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"

bool local_target_accepted(Session& session, const std::string& remote_dir,
                           const std::string& local_path, int& status) {
  status = 0;
  if (session.cloud()) return true;
  // Top-level names starting with the manifest's name are never backed up.
  const std::string probe = storage_join(remote_dir, std::string(kManifestName) + ".probe");
  status = session.client().downloadfile(widen(local_path).c_str(), widen(probe).c_str(),
                                         kOverwrite, nullptr, nullptr);
  if (status == 0) {  // someone stored that name after all: undo the download
    unlink(local_path.c_str());
    return true;
  }
  if (status == -3 && session.error_code() == kLocalPathRefused) return false;
  if (connection_lost(status, false)) return false;
  status = 0;
  return true;
}

int check_local_target(Session& session, const std::string& command,
                       const std::string& remote_dir, const std::string& local_path,
                       const std::string& shown, const char* access) {
  int status = 0;
  if (local_target_accepted(session, remote_dir, local_path, status)) return exit_codes::kOk;
  if (status == -3) {
    print_error(command + ": cannot " + access + " " + (shown.empty() ? local_path : shown) + ": " +
                narrow(session.client().error_msg()));
    return exit_codes::kFailed;
  }
  return session.fail(command, status);
}
