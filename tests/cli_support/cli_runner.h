// Test helpers: runs the brevanto program as a child process and claims the
// service port for a scripted FakeService.
#ifndef BREVANTO_CLI_TESTING_CLI_RUNNER_H_
#define BREVANTO_CLI_TESTING_CLI_RUNNER_H_

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/fake_service.h"

struct CliResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// An `env` value that removes the variable instead.
inline const std::string kUnsetEnv = "\x7f<unset>";

// Runs the program with `args` in `cwd`; `env` pairs are added to (or
// replace in) the test's own environment. Standard input is /dev/null.
CliResult run_cli(const std::vector<std::string>& args, const std::string& cwd = ".",
                  const std::vector<std::pair<std::string, std::string>>& env = {
                      {"BREVANTO_PASSWORD", "pw"}});

// As run_cli, but sends SIGINT to the program once its stderr holds
// `interrupt_at`.
CliResult run_cli_interrupted(const std::vector<std::string>& args, const std::string& cwd,
                              const std::vector<std::pair<std::string, std::string>>& env,
                              const std::string& interrupt_at);

// As run_cli, but sends SIGINT to the program once `interrupt_when` (asked
// whenever output arrives, and at least five times a second) is true.
CliResult run_cli_interrupted_when(const std::vector<std::string>& args, const std::string& cwd,
                                   const std::vector<std::pair<std::string, std::string>>& env,
                                   const std::function<bool(const CliResult&)>& interrupt_when);

// As run_cli, but calls `watch` with the output so far and the program's
// process id whenever output arrives, and at least five times a second.
CliResult run_cli_watched(const std::vector<std::string>& args, const std::string& cwd,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          const std::function<void(const CliResult&, pid_t)>& watch);

// A FakeService on 11001; other programs on this machine may hold the port
// for a while, so this waits for it (up to a minute).
std::unique_ptr<FakeService> claim_service_port();

// Scripts how a backup begins on `service`, after the login and its session
// check: the probes of the local root and of the private folder for the
// lock and the manifests are accepted (their files are not found), then the
// lock of REMOTE_DIR (cli/remote/backup_lock.h) is free, so its AddFile
// succeeds. Its RemoveFile after the manifest is answered with the success
// given to requests beyond the script, or is scripted by the test.
void then_backup_starts(FakeService& service);

// A new empty directory below the system's temporary directory, removed
// with everything in it at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content);
// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
// The permission bits of `path` itself (a link is not followed); -1 when
// it is missing.
int mode_of(const std::string& path);
// The inode of `path` itself (a link is not followed); 0 when it is missing.
ino_t inode_of(const std::string& path);

// Replies a scripted service gives: a login, and a success that carries
// nothing (a listing of no entries).
inline const char kLoggedIn[] = "<ACK Result=\"success\" ClientID=\"c1\"/>";
inline const char kSuccess[] = "<ACK Result=\"success\"/>";
inline const char kEmptyListing[] = "<ACK Result=\"success\"/>";

#endif  // BREVANTO_CLI_TESTING_CLI_RUNNER_H_
