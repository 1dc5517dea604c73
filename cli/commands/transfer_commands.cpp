#include "cli/commands/transfer_commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "cli/local/local_path.h"
#include "cli/local/local_target_check.h"
#include "cli/output/output.h"
#include "cli/output/status.h"
#include "cli/remote/parallel_sessions.h"
#include "cli/remote/storage_path.h"
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
    if (json_output()) {
      print_error(std::string(command) + ": interrupted",
                  JsonObject().number("exit_code", exit_codes::kInterrupted));
    } else {
      std::printf("%s: interrupted\n", command);
    }
    exit_interrupted();
  }
  return status;
}

// With --json, the line that ends a transfer done.
void print_transfer_summary(const char* command, const std::string& local,
                            const std::string& remote, std::uint64_t bytes,
                            std::chrono::steady_clock::time_point started) {
  if (!json_output()) return;
  print_json(JsonObject()
                 .string("message_type", "summary")
                 .string("command", command)
                 .name("local", local)
                 .string("remote", remote)
                 .number("bytes", bytes)
                 .number("seconds", std::chrono::duration<double>(
                                        std::chrono::steady_clock::now() - started)
                                        .count())
                 .number("exit_code", exit_codes::kOk));
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
    print_error(std::string(name) + ": cannot read " + local + ": " + problem);
    return exit_codes::kFailed;
  }
  std::string remote = to_storage_path(typed_remote);
  if (names_directory(typed_remote)) remote = storage_join(remote, local_basename(local));
  if (const int rc = session.open()) return rc;

  const auto started = std::chrono::steady_clock::now();
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
    progress.close();
    return session.fail(std::string(name) + " " + remote, status);
  }
  progress.finish_file(update ? "updated" : "uploaded", static_cast<std::uint64_t>(info.st_size));
  progress.close();
  print_transfer_summary(name, local, remote, static_cast<std::uint64_t>(info.st_size), started);
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

  const auto started = std::chrono::steady_clock::now();
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
    progress.close();
    return session.fail_lookup("get " + remote, status, remote);
  }
  const std::uint64_t size =
      stat(local.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  progress.finish_file("downloaded", size);
  progress.close();
  print_transfer_summary("get", local, remote, size, started);
  return exit_codes::kOk;
}
