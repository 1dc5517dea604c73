#include "tests/cli_support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

// Starts the service with `args`; its output goes to `log`. Nothing is
// allocated after the fork.
pid_t spawn(std::vector<std::string> args, const std::string& log, int stdin_fd) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(stdin_fd, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::string& work_dir, const std::string& user,
                               const std::string& password,
                               const std::vector<std::string>& local_roots) {
  const std::string program = BREVANTO_SERVICE_PATH;
  const std::string root = work_dir + "/storage";
  const std::string log = work_dir + "/service.log";
  const std::string port_file = work_dir + "/service.port";
  std::filesystem::create_directories(root);

  int password_pipe[2];
  if (pipe(password_pipe) != 0) throw std::runtime_error("pipe");
  const pid_t adder = spawn({program, "--root", root, "--add-user", user}, log, password_pipe[0]);
  close(password_pipe[0]);
  const std::string line = password + "\n";
  if (write(password_pipe[1], line.data(), line.size()) < 0) perror("write");
  close(password_pipe[1]);
  if (exit_status(adder) != 0) throw std::runtime_error("brevanto-service --add-user failed");

  std::vector<std::string> args = {program, "--root", root, "--port-file", port_file};
  for (const std::string& local_root : local_roots) {
    args.push_back("--local-root");
    args.push_back(local_root);
  }
  const int null = open("/dev/null", O_RDONLY);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pid_ = spawn(args, log, null);
    // Up for good once the port file appears; gone when the port is taken.
    for (int i = 0; i < 100 && !std::filesystem::exists(port_file); ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid_ > 0 && std::filesystem::exists(port_file)) break;
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      exit_status(pid_);
      pid_ = -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  close(null);
  if (pid_ < 0) throw std::runtime_error("brevanto-service did not start; see " + log);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  exit_status(pid_);
}
