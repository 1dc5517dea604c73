// brevanto: the command-line host of the Brevanto client library.
//
// Exit codes: 0 success; 1 an operation failed (also: `exists` found nothing,
// `restore --verify` or `check` found differences); 2 usage error; 3 no
// session (the service is not reachable, another user's program listens on
// its port, the login was refused, or the connection broke); 130 a backup,
// restore, check, get, put or update stopped by SIGINT or SIGTERM.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/command_suggestion.h"
#include "cli/commands/backup.h"
#include "cli/commands/check.h"
#include "cli/commands/directory_commands.h"
#include "cli/commands/find_command.h"
#include "cli/commands/history_commands.h"
#include "cli/commands/inspect_commands.h"
#include "cli/commands/plan_command.h"
#include "cli/commands/restore.h"
#include "cli/commands/transfer_commands.h"
#include "cli/exit_codes.h"
#include "cli/output/output.h"
#include "cli/output/progress.h"
#include "cli/remote/history.h"
#include "cli/remote/service_owner.h"
#include "cli/remote/session.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"
#include "util/module_path.h"

namespace {

std::string default_user() {
  for (const char* name : {"BREVANTO_USER", "USER", "LOGNAME"}) {
    if (const char* value = std::getenv(name); value && *value) return value;
  }
  return "user";
}

const char kFooter[] =
    "Storage paths are rooted, with '\\' or '/' as separator (\\docs\\a.txt).\n"
    "The password comes from --password-file, --password-command, BREVANTO_PASSWORD\n"
    "or a prompt on the terminal.\n"
    "Exit codes: 0 ok, 1 operation failed, 2 usage error, 3 no session (service\n"
    "not reachable or not trusted, login refused, connection lost), 130 interrupted.\n"
    "Before the password goes to 127.0.0.1:11001, the socket listening there must\n"
    "belong to root, to you, or to --service-uid.\n"
    "--json: every line printed is one JSON object: results, status and summary on\n"
    "stdout, problems on stderr ({\"message_type\":\"error\",...}). Bytes of a name\n"
    "that are not UTF-8 appear as \\xNN; an \"item\" then has an \"item_hex\" twin.";

// The subcommand word, when it names no subcommand: the message and exit 2.
bool refuse_unknown_command(const CLI::App& app, int argc, char** argv) {
  // The global options, with and without a value, as the parser knows them.
  std::vector<std::string> value_options;
  std::vector<std::string> flags;
  for (const CLI::Option* option : app.get_options()) {
    std::vector<std::string>& names = option->get_items_expected_max() == 0 ? flags : value_options;
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    for (const std::string& name : option->get_snames()) names.push_back("-" + name);
  }
  const std::string word = first_command_word(std::vector<std::string>(argv + 1, argv + argc),
                                              value_options, flags);
  if (word.empty()) return false;
  std::vector<std::string> names;
  for (const CLI::App* command : app.get_subcommands({})) names.push_back(command->get_name());
  if (std::find(names.begin(), names.end(), word) != names.end()) return false;
  print_error("brevanto: " + unknown_command_message(word, names) +
              "\nRun 'brevanto --help' for the commands.");
  return true;
}

// The command line is a host of its own, not a program beside its log: the
// library's log goes to the user's state folder, $XDG_STATE_HOME/brevanto/
// Logs/ (by default ~/.local/state/brevanto/Logs/), unless BREVANTO_LOG_DIR
// chooses another. The library reads that variable when it opens the log.
void choose_log_folder() {
  if (const char* chosen = std::getenv("BREVANTO_LOG_DIR"); chosen && *chosen) return;
  std::string state;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/') {
    state = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    state = std::string(home) + "/.local/state";
  } else {
    return;  // the library's own choice
  }
  setenv("BREVANTO_LOG_DIR", (state + "/brevanto/Logs").c_str(), 1);
}

// Where the library writes this program's log (created when missing).
std::string log_file() {
  const std::wstring directory = log_directory();
  return directory.empty() ? std::string("none (no writable log folder)")
                           : narrow(directory + L"Brevanto.log");
}

}  // namespace

int main(int argc, char** argv) {
  choose_log_folder();
  CLI::App app{"brevanto: backup storage from the command line"};
  app.footer([] {
    const std::string log = log_file();
    return std::string(kFooter) + "\nLog: " + log +
           " (BREVANTO_LOG_DIR chooses the folder): the library's trace of every\n"
           "request, UTF-16LE, moved to Brevanto.log.1 past 64 MiB (so at most 128 MiB).\n"
           "Read it with: iconv -f UTF-16LE -t UTF-8 '" + log + "' | less";
  });
  app.require_subcommand(1);
  app.fallthrough();  // global options may follow the subcommand

  SessionOptions options;
  options.user = default_user();
  // The empty name: the default project of the library and the service.
  options.project = "";
  options.client_type = "1";
  std::string backend = "local";
  bool quiet = false;
  app.add_option("--backend", backend, "local (the service on 127.0.0.1:11001) or cloud")
      ->check(CLI::IsMember({"local", "cloud"}))
      ->capture_default_str();
  app.add_option("--user", options.user, "user name (default: $BREVANTO_USER or $USER)");
  app.add_option("--project", options.project,
                 "project name (default: the default project, the empty name; earlier versions "
                 "used \"default\")");
  app.add_option("--client-type", options.client_type, "client type sent at login")
      ->capture_default_str();
  app.add_option("--password-file", options.password_source.file,
                 "read the password from the first line of this file");
  app.add_option("--password-command", options.password_source.command,
                 "read the password from the first line this command prints");
  std::string service_uid;
  app.add_option("--service-uid", service_uid,
                 "also send the password to a service listening as this uid or user "
                 "(else only root's or your own); any: do not check");
  app.add_flag("-q,--quiet", quiet, "no progress output");
  bool verbose = false;
  app.add_flag("-v,--verbose", verbose,
               "a line for each file backup and restore handle, and where the log is written");
  bool json = false;
  app.add_flag("--json", json,
               "JSON lines: results, progress status and a summary on stdout, problems on stderr");
  app.set_version_flag("--version", "brevanto " BREVANTO_VERSION);

  // The chosen subcommand leaves its work here.
  std::function<int(Session&, ProgressMode)> action;
  std::string path, local, remote;
  ListOptions list;
  bool recursive = false;
  // --at of ls and get: a point in time (history.h).
  std::string at;
  const auto at_option = [&at](CLI::App* command, const char* what) {
    command->add_option("--at", at,
                        std::string(what) + " as it was at a point of \\.history: its name, "
                        "latest, a date (2026-12-01), a time (2026-12-01T10:00) or an age (2d)");
  };
  BackupOptions backup_options;
  RestoreOptions restore_options;

  const auto path_command = [&](const char* name, const char* help,
                                int (*run)(Session&, const std::string&)) {
    CLI::App* command = app.add_subcommand(name, help);
    command->add_option("PATH", path, "storage path")->required();
    command->callback([&action, &path, run] {
      action = [&path, run](Session& session, ProgressMode) { return run(session, path); };
    });
    return command;
  };

  CLI::App* ls = app.add_subcommand("ls", "list a storage directory (or one file)");
  ls->add_flag("-r,--recursive", list.recursive, "include subdirectories");
  ls->add_flag("-l,--long", list.long_format, "size, modification time and reversion too");
  ls->add_flag("-a,--all", list.all,
               "in a listing of \\, show \\.history (the earlier versions) too");
  ls->add_flag("--stored", list.stored,
               "names as the storage holds them (.brevanto-name-...), not the real names the "
               "backup's manifest keeps");
  ls->add_option("--scratch-dir", list.scratch_dir,
                 "local folder the service may write, for the manifests that hold real names; "
                 "needed only with a service narrowed by --local-root (default: a private "
                 "folder)");
  at_option(ls, "list the path");
  ls->add_option("PATH", path, "storage directory or file")->required();
  ls->callback([&] {
    action = [&](Session& session, ProgressMode) {
      list.json = json;
      if (!at.empty()) {
        std::vector<Point> points;
        std::size_t index = 0;
        if (const int rc = find_point(session, "ls --at " + at, at, points, index)) return rc;
        list.point = points[index].name;
      }
      return run_ls(session, path, list);
    };
  });
  CLI::App* stat = app.add_subcommand(
      "stat", "size, times, backup type and reversion of a stored entry");
  stat->add_option("PATH", path, "storage path")->required();
  stat->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_stat(session, path, json); };
  });
  path_command("exists", "exit 0 when the storage path exists, 1 when not", run_exists);
  path_command("mkdir", "create a storage directory", run_mkdir);
  CLI::App* rmdir = app.add_subcommand("rmdir", "remove an empty storage directory");
  rmdir->add_flag("-r,--recursive", recursive, "remove it with everything in it (as purge)");
  rmdir->add_option("PATH", path, "storage directory")->required();
  rmdir->callback([&] {
    action = [&](Session& session, ProgressMode) {
      return recursive ? run_purge(session, path) : run_rmdir(session, path);
    };
  });
  path_command("purge", "remove a storage directory with everything in it", run_purge);
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
  at_option(get, "download the file");
  get->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      if (at.empty()) return run_get(session, mode, remote, local);
      std::vector<Point> points;
      std::size_t index = 0;
      if (const int rc = find_point(session, "get --at " + at, at, points, index)) return rc;
      return run_get(session, mode, at_point(points[index].name, to_storage_path(remote)), local);
    };
  });

  CLI::App* df = app.add_subcommand("df", "used and free space");
  df->callback([&] { action = [](Session& session, ProgressMode) { return run_df(session); }; });

  bool upgrade = false;
  CLI::App* plan = app.add_subcommand(
      "plan", "used and allowed space of the account; --upgrade: the cloud's next plan");
  plan->add_flag("--upgrade", upgrade,
                 "move the cloud account to the next plan (its payment card is checked first)");
  plan->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_plan(session, upgrade); };
  });

  const auto transfers_option = [](CLI::App* command, std::size_t& transfers) {
    command->add_option("--transfers", transfers, "files moved at once, each by its own client")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
  };
  CLI::App* backup = app.add_subcommand("backup", "back up a local directory tree");
  backup->add_option("LOCAL_DIR", backup_options.local_dir, "local directory")->required();
  backup->add_option("REMOTE_DIR", backup_options.remote_dir, "storage directory")->required();
  backup->add_flag("-L,--copy-links", backup_options.copy_links,
                   "back up the files that links to files name (else links are kept as links)");
  backup->add_flag("--checksum", backup_options.checksum,
                   "compare content with the last backup, not size and modification time");
  backup->add_flag("-n,--dry-run", backup_options.dry_run,
                   "print what would be sent, created and removed; change nothing");
  backup->add_flag("--delete", backup_options.delete_missing,
                   "remove stored files and directories that are gone locally");
  backup->add_option("--exclude", backup_options.excludes,
                     "leave out what matches this gitignore-style pattern (repeatable)");
  backup->add_option("--exclude-file", backup_options.exclude_files,
                     "leave out what the patterns of this file match, one a line (repeatable)");
  backup->add_flag("--exclude-caches", backup_options.exclude_caches,
                   "leave out the contents of directories tagged with a CACHEDIR.TAG");
  backup->add_option("--exclude-larger-than", backup_options.exclude_larger_than,
                     "leave out files larger than this size (500K, 10M, 2G)");
  transfers_option(backup, backup_options.transfers);
  backup->add_option("--lock-wait", backup_options.lock_wait,
                     "seconds to wait while another backup of REMOTE_DIR runs (default 60)");
  backup->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      return run_backup(session, mode, backup_options);
    };
  });

  CLI::App* restore =
      app.add_subcommand("restore", "restore a backed-up directory tree (or one file)");
  restore->add_option("REMOTE_DIR", restore_options.remote_dir, "storage directory or file")
      ->required();
  restore->add_option("LOCAL_DIR", restore_options.local_dir,
                      "local directory (created when missing)")
      ->required();
  restore->add_flag("--verify", restore_options.verify,
                    "check every restored file against the manifest");
  restore->add_flag("--special-bits", restore_options.special_bits,
                    "restore setuid, setgid and sticky bits too (else permission bits only)");
  restore->add_option("--at", restore_options.at,
                      "restore the backup as it was at a point of \\.history: its name, latest, "
                      "a date (2026-12-01), a time (2026-12-01T10:00) or an age (2d)");
  transfers_option(restore, restore_options.transfers);
  restore->callback([&] {
    action = [&](Session& session, ProgressMode mode) {
      return run_restore(session, mode, restore_options);
    };
  });

  CheckOptions check_options;
  CLI::App* check = app.add_subcommand(
      "check", "check that the storage holds every file of a backup's last manifest");
  check->add_option("REMOTE_DIR", check_options.remote_dir, "storage directory of the backup")
      ->required();
  check->add_option("SCRATCH_DIR", check_options.scratch_dir,
                    "local folder the service may write, for the files' trips; needed only "
                    "with a service narrowed by --local-root (default: a private folder in "
                    "$TMPDIR or /tmp)");
  check->add_flag("--read-data", check_options.read_data,
                  "download every file and compare its size and SHA-256");
  transfers_option(check, check_options.transfers);
  check->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_check(session, check_options); };
  });

  SnapshotsOptions snapshots_options;
  CLI::App* snapshots = app.add_subcommand(
      "snapshots",
      "list the points of \\.history (the earlier versions), or the backups of a folder");
  snapshots->add_option("REMOTE", snapshots_options.remote,
                        "a backup folder: only the points of its backups, with files and bytes");
  snapshots->add_option("--scratch-dir", snapshots_options.scratch_dir,
                        "local folder the service may write, for the manifests; needed only "
                        "with a service narrowed by --local-root (default: a private folder)");
  snapshots->callback([&] {
    action = [&](Session& session, ProgressMode) {
      return run_snapshots(session, snapshots_options);
    };
  });

  DiffOptions diff_options;
  CLI::App* diff = app.add_subcommand(
      "diff", "what changed in a backup between two points, a point and now, or now and the "
              "local tree (--local)");
  diff->add_option("ARGS", diff_options.args, "FROM [TO] REMOTE, or with --local: REMOTE")
      ->required();
  diff->add_option("--local", diff_options.local.local_dir,
                   "compare the backup as it is now with this local directory");
  diff->add_option("--scratch-dir", diff_options.scratch_dir,
                   "local folder the service may write, for the manifests; needed only with a "
                   "service narrowed by --local-root (default: a private folder)");
  diff->add_flag("-L,--copy-links", diff_options.local.copy_links,
                 "with --local: as backup --copy-links");
  diff->add_option("--exclude", diff_options.local.excludes, "with --local: as backup --exclude");
  diff->add_option("--exclude-file", diff_options.local.exclude_files,
                   "with --local: as backup --exclude-file");
  diff->add_flag("--exclude-caches", diff_options.local.exclude_caches,
                 "with --local: as backup --exclude-caches");
  diff->add_option("--exclude-larger-than", diff_options.local.exclude_larger_than,
                   "with --local: as backup --exclude-larger-than");
  diff->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_diff(session, diff_options); };
  });

  FindOptions find_options;
  CLI::App* find_command = app.add_subcommand(
      "find", "which backups held entries matching a pattern, with sizes and times");
  find_command->add_option("PATTERN", find_options.pattern,
                           "a glob on the name, or on the path when it holds a /")
      ->required();
  find_command->add_option("REMOTE", find_options.remote,
                           "a backup folder (default: every backup folder the storage holds)");
  find_command->add_flag("-i,--ignore-case", find_options.ignore_case,
                         "ASCII letters of either case");
  find_command->add_option("--scratch-dir", find_options.scratch_dir,
                           "local folder the service may write, for the manifests; needed only "
                           "with a service narrowed by --local-root (default: a private folder)");
  find_command->callback([&] {
    action = [&](Session& session, ProgressMode) { return run_find(session, find_options); };
  });

  // Usage errors come as JSON too when --json is anywhere on the line.
  set_json_output(std::find(argv + 1, argv + argc, std::string("--json")) != argv + argc);
  if (refuse_unknown_command(app, argc, argv)) return exit_codes::kUsage;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (json_output() && e.get_exit_code() != 0) {
      print_error(std::string("brevanto: ") + e.what(),
                  JsonObject().number("exit_code", exit_codes::kUsage));
      return exit_codes::kUsage;
    }
    return app.exit(e) == 0 ? exit_codes::kOk : exit_codes::kUsage;
  }
  set_json_output(json);
  if (!service_uid.empty()) {
    std::string error;
    if (!parse_service_uid(service_uid, options.service_owner, error)) {
      print_error("brevanto: " + error);
      return exit_codes::kUsage;
    }
  }

  // A point in time that is none is a usage error, told before the login.
  for (const std::string* typed : {&at, &restore_options.at}) {
    PointSpec spec;
    std::string error;
    if (!typed->empty() && !parse_point_spec(*typed, 0, spec, error)) {
      print_error("brevanto: --at: " + error);
      return exit_codes::kUsage;
    }
  }

  // The library refuses text holding a double quote with the status it also
  // gives for a closed connection: such paths are refused here.
  std::vector<const std::string*> typed_paths{
      &path, &local, &remote, &backup_options.local_dir, &backup_options.remote_dir,
      &restore_options.remote_dir, &restore_options.local_dir, &check_options.remote_dir,
      &check_options.scratch_dir, &snapshots_options.remote, &snapshots_options.scratch_dir,
      &diff_options.scratch_dir, &diff_options.local.local_dir};
  typed_paths.insert(typed_paths.end(),
                     {&list.scratch_dir, &find_options.remote, &find_options.scratch_dir});
  for (const std::string& arg : diff_options.args) typed_paths.push_back(&arg);
  for (const std::string* typed : typed_paths) {
    if (typed->find('"') != std::string::npos) {
      print_error("brevanto: " + *typed + ": a path holding a double quote cannot be sent");
      return exit_codes::kUsage;
    }
  }
  options.cloud = backend == "cloud";
  if (verbose) print_notice("brevanto: log " + log_file());
  try {
    Session session(options);
    const int rc = action(session, choose_progress_mode(quiet, verbose, json));
    session.close();
    return rc;
  } catch (const text_error& e) {
    print_error(std::string("brevanto: ") + e.what());
    return exit_codes::kUsage;
  } catch (const std::filesystem::filesystem_error& e) {
    print_error(std::string("brevanto: ") + e.what());
    return exit_codes::kFailed;
  }
}
