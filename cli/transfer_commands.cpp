#include "cli/transfer_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local_target_check.h"
#include "cli/local_path.h"
#include "cli/parallel_sessions.h"
#include "cli/status.h"
#include "cli/storage_path.h"
#include "cli/text.h"

namespace {

// Runs one transfer on a thread of its own, so that SIGINT or SIGTERM ends
// the command at once (the library cannot cut a transfer short): the bar
// goes, a line says so, and the process ends with kInterrupted.
int interruptible(Session& session, Progress& progress, const char* command,
                  const std::function<int(Session&)>& transfer) {
  const InterruptGuard guard;
  int status = 0;
  const RunEnd end = run_in_parallel(session, 1, 1, [&](Session& client, std::size_t, std::size_t) {
    status = transfer(client);
    return JobOutcome::kContinue;
  });
  if (end == RunEnd::kInterrupted) {
    progress.close();
    std::printf("%s: interrupted\n", command);
    exit_interrupted();
  }
  return status;
}

}  // namespace

int run_put(Session& session, ProgressMode mode, const std::string& typed_local,
            const std::string& typed_remote, bool update) {
  const char* name = update ? "update" : "put";
  const std::string local = absolute_local(typed_local);
  struct stat info;
  const char* problem = stat(local.c_str(), &info) != 0 ? std::strerror(errno)
                        : !S_ISREG(info.st_mode)        ? "not a regular file"
                                                        : nullptr;
  if (problem) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", name, local.c_str(), problem);
    return exit_codes::kFailed;
  }
  std::string remote = to_storage_path(typed_remote);
  if (names_directory(typed_remote)) remote = storage_join(remote, local_basename(local));
  if (const int rc = session.open()) return rc;

  Progress progress(mode);
  progress.start_file(local_basename(local) + " -> " + remote, info.st_size);
  const std::wstring wide_local = widen(local);
  const std::wstring wide_remote = widen(remote);
  const int status = interruptible(session, progress, name, [&](Session& client) {
    return update ? client.replace(wide_local, wide_remote, Progress::on_progress,
                                   progress.context())
                  : client.client().addfile(wide_local.c_str(), wide_remote.c_str(),
                                            Progress::on_progress, progress.context());
  });
  if (status != 0) {
    progress.abandon_file();
    progress.message(std::string(name) + " " + remote + ": " + session.failure(status));
    return exit_code_for(status);
  }
  progress.finish_file(update ? "updated" : "uploaded", static_cast<std::uint64_t>(info.st_size));
  return exit_codes::kOk;
}

int run_get(Session& session, ProgressMode mode, const std::string& typed_remote,
            const std::string& typed_local) {
  const std::string remote = to_storage_path(typed_remote);
  std::string local = absolute_local(typed_local);
  struct stat info;
  const bool local_is_dir = stat(local.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  if (local_is_dir || (!typed_local.empty() && typed_local.back() == '/')) {
    local = local_join(local, storage_basename(remote));
  }
  if (const int rc = session.open()) return rc;
  const std::size_t cut = remote.find_last_of('\\');
  const std::string remote_dir = cut == 0 ? "\\" : remote.substr(0, cut);
  if (const int rc = check_local_target(session, "get", remote_dir, local)) return rc;
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(local).parent_path(), error);

  Progress progress(mode);
  progress.start_file(remote + " -> " + local, 0);
  const std::wstring wide_local = widen(local);
  const std::wstring wide_remote = widen(remote);
  const int status = interruptible(session, progress, "get", [&](Session& client) {
    return client.client().downloadfile(wide_local.c_str(), wide_remote.c_str(), kOverwrite,
                                        Progress::on_progress, progress.context());
  });
  if (status != 0) {
    progress.abandon_file();
    progress.message("get " + remote + ": " + session.failure(status));
    return exit_code_for(status);
  }
  const std::uint64_t size =
      stat(local.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  progress.finish_file("downloaded", size);
  return exit_codes::kOk;
}
