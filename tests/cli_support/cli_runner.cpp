#include "tests/cli_support/cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

constexpr int kTimeoutMs = 60000;

}  // namespace

CliResult run_cli(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::pair<std::string, std::string>>& env) {
  return run_cli_interrupted(args, cwd, env, std::string());
}

CliResult run_cli_interrupted(const std::vector<std::string>& args, const std::string& cwd,
                              const std::vector<std::pair<std::string, std::string>>& env,
                              const std::string& interrupt_at) {
  if (interrupt_at.empty()) return run_cli_interrupted_when(args, cwd, env, nullptr);
  return run_cli_interrupted_when(args, cwd, env, [&interrupt_at](const CliResult& result) {
    return result.err.find(interrupt_at) != std::string::npos;
  });
}

CliResult run_cli_interrupted_when(const std::vector<std::string>& args, const std::string& cwd,
                                   const std::vector<std::pair<std::string, std::string>>& env,
                                   const std::function<bool(const CliResult&)>& interrupt_when) {
  if (!interrupt_when) return run_cli_watched(args, cwd, env, nullptr);
  bool interrupted = false;
  return run_cli_watched(args, cwd, env, [&](const CliResult& result, pid_t pid) {
    if (!interrupted && interrupt_when(result)) {
      kill(pid, SIGINT);
      interrupted = true;
    }
  });
}

CliResult run_cli_watched(const std::vector<std::string>& args, const std::string& cwd,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          const std::function<void(const CliResult&, pid_t)>& watch) {
  // Everything the child needs is built before the fork: the parent runs
  // the fake service's thread, so the child must not allocate.
  std::vector<std::string> env_text;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& pair : env) replaced |= text.rfind(pair.first + "=", 0) == 0;
    if (!replaced) env_text.push_back(text);
  }
  for (const auto& [name, value] : env) {
    if (value != kUnsetEnv) env_text.push_back(name + "=" + value);
  }
  // The program's log goes beside it, not into the user's state folder,
  // unless the test chooses.
  bool log_chosen = false;
  for (const auto& pair : env) log_chosen |= pair.first == "BREVANTO_LOG_DIR";
  for (const std::string& text : env_text) log_chosen |= text.rfind("BREVANTO_LOG_DIR=", 0) == 0;
  if (!log_chosen) {
    env_text.push_back("BREVANTO_LOG_DIR=" +
                       (std::filesystem::path(BREVANTO_CLI_PATH).parent_path() / "Logs").string());
  }
  std::vector<char*> envp;
  for (std::string& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::string program = BREVANTO_CLI_PATH;
  std::vector<std::string> arg_text(args);
  std::vector<char*> argv{program.data()};
  for (std::string& arg : arg_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    // A new session has no controlling terminal, so no password prompt.
    setsid();
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  CliResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (open_pipes > 0 && std::chrono::steady_clock::now() < deadline) {
    if (watch) watch(result, pid);
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  if (open_pipes > 0) kill(pid, SIGKILL);
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

std::unique_ptr<FakeService> claim_service_port() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    try {
      return std::make_unique<FakeService>();
    } catch (const std::runtime_error&) {
      if (std::chrono::steady_clock::now() > deadline) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
}

void then_backup_starts(FakeService& service) {
  service.then({"<ACK Result=\"failed\" errcode=\"3\" errtext=\"not found\"/>"});
  service.then({"<ACK Result=\"failed\" errcode=\"3\" errtext=\"not found\"/>"});
  service.then({"<ACK Result=\"success\"/>"});
}

TempDir::TempDir()
    : path_((std::filesystem::temp_directory_path() / "brevanto-cli-test.XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

int mode_of(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

ino_t inode_of(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}
