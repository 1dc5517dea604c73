// brevanto: the command-line host of the Brevanto client library.
//
// Exit codes: 0 success; 1 an operation failed (also: `exists` found nothing,
// `restore --verify` found differences); 2 usage error; 3 no session (the
// service is not reachable, the login was refused, or the connection broke).
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/backup.h"
#include "cli/directory_commands.h"
#include "cli/exit_codes.h"
#include "cli/inspect_commands.h"
#include "cli/progress.h"
#include "cli/restore.h"
#include "cli/session.h"
#include "cli/text.h"
#include "cli/transfer_commands.h"

namespace {

std::string default_user() {
  for (const char* name : {"BREVANTO_USER", "USER", "LOGNAME"}) {
    if (const char* value = std::getenv(name); value && *value) return value;
  }
  return "user";
}

const char kFooter[] =
    "Storage paths are rooted, with '\\' or '/' as separator (\\docs\\a.txt).\n"
    "The password comes from BREVANTO_PASSWORD or a prompt on the terminal.\n"
    "Exit codes: 0 ok, 1 operation failed, 2 usage error, 3 no session\n"
    "(service not reachable, login refused, connection lost).";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"brevanto: backup storage from the command line"};
  app.footer(kFooter);
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the subcommand

  SessionOptions options;
  options.user = default_user();
  options.project = "default";
  options.client_type = "1";
  std::string backend = "local";
  bool quiet = false;
  app.add_option("--backend", backend, "local (the service on 127.0.0.1:11001) or cloud")
      ->check(CLI::IsMember({"local", "cloud"}))
      ->capture_default_str();
  app.add_option("--user", options.user, "user name (default: $BREVANTO_USER or $USER)");
  app.add_option("--project", options.project, "project name")->capture_default_str();
  app.add_option("--client-type", options.client_type, "client type sent at login")
      ->capture_default_str();
  app.add_flag("-q,--quiet", quiet, "no progress output");
  app.set_version_flag("--version", "brevanto 0.1.0");

  // The chosen subcommand leaves its work here.
  std::function<int(Session&, ProgressMode)> action;
  std::string path, local, remote;
  bool recursive = false;
  bool verify = false;

  const auto path_command = [&](const char* name, const char* help,
                                int (*run)(Session&, const std::string&)) {
    CLI::App* command = app.add_subcommand(name, help);
    command->add_option("PATH", path, "storage path")->required();
    command->callback([&action, &path, run] {
      action = [&path, run](Session& session, ProgressMode) { return run(session, path); };
    });
  };

  CLI::App* ls = app.add_subcommand("ls", "list a storage directory");
  ls->add_flag("-r,--recursive", recursive, "include subdirectories");
  ls->add_option("PATH", path, "storage directory")->required();
  ls->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_ls(session, path, recursive); };
  });
  path_command("stat", "size, times, backup type and reversion of a stored entry", run_stat);
  path_command("exists", "exit 0 when the storage path exists, 1 when not", run_exists);
  path_command("mkdir", "create a storage directory", run_mkdir);
  path_command("rmdir", "remove a storage directory", run_rmdir);
  path_command("rm", "remove a stored file", run_rm);

  for (const bool update : {false, true}) {
    CLI::App* command = app.add_subcommand(
        update ? "update" : "put",
        update ? "replace a stored file with a newer local version" : "upload a new file");
    command->add_option("LOCAL", local, "local file")->required();
    command->add_option("REMOTE", remote, "storage path; ending in '\\' or '/': a directory")
        ->required();
    command->callback([&action, &local, &remote, update] {
      action = [&local, &remote, update](Session& session, ProgressMode mode) {
        return run_put(session, mode, local, remote, update);
      };
    });
  }

  CLI::App* get = app.add_subcommand("get", "download a stored file");
  get->add_option("REMOTE", remote, "storage path")->required();
  get->add_option("LOCAL", local, "local file, or an existing directory")->required();
  get->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      return run_get(session, mode, remote, local);
    };
  });

  CLI::App* df = app.add_subcommand("df", "used and free space");
  df->callback([&] { action = [](Session& session, ProgressMode) { return run_df(session); }; });

  CLI::App* backup = app.add_subcommand("backup", "back up a local directory tree");
  backup->add_option("LOCAL_DIR", local, "local directory")->required();
  backup->add_option("REMOTE_DIR", remote, "storage directory")->required();
  backup->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      return run_backup(session, mode, local, remote);
    };
  });

  CLI::App* restore = app.add_subcommand("restore", "restore a backed-up directory tree");
  restore->add_option("REMOTE_DIR", remote, "storage directory")->required();
  restore->add_option("LOCAL_DIR", local, "local directory (created when missing)")->required();
  restore->add_flag("--verify", verify, "check every restored file against the manifest");
  restore->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      return run_restore(session, mode, remote, local, verify);
    };
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? exit_codes::kOk : exit_codes::kUsage;
  }

  options.cloud = backend == "cloud";
  try {
    Session session(options);
    const int rc = action(session, choose_progress_mode(quiet));
    session.close();
    return rc;
  } catch (const TextError& e) {
    std::fprintf(stderr, "brevanto: %s\n", e.what());
    return exit_codes::kUsage;
  } catch (const std::filesystem::filesystem_error& e) {
    std::fprintf(stderr, "brevanto: %s\n", e.what());
    return exit_codes::kFailed;
  }
}
