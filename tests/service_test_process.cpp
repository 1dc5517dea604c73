#include "tests/service_test_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/service_test_files.h"

namespace {

// Runs the service binary with `args`, stdin from `stdin_fd`, stderr (and
// stdout) appended to `log_path`.
pid_t spawn(const std::vector<std::string>& args, int stdin_fd, const std::string& log_path) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(BREVANTO_SERVICE_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(stdin_fd, STDIN_FILENO);
  const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log >= 0) {
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

pid_t start_program(const std::vector<std::string>& argv, int* stdin_fd, int* stdout_fd,
                    bool with_stderr) {
  int in[2], out[2];
  if (::pipe(in) != 0) return -1;
  if (::pipe(out) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    if (with_stderr) ::dup2(out[1], STDERR_FILENO);
    ::close(in[1]);
    ::close(out[0]);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  *stdin_fd = in[1];
  *stdout_fd = out[0];
  return pid;
}

int run_program(const std::vector<std::string>& argv, const std::string& input,
                std::string* output, bool with_stderr) {
  int in = -1, out = -1;
  const pid_t pid = start_program(argv, &in, &out, with_stderr);
  if (pid < 0) return -1;
  (void)!::write(in, input.data(), input.size());
  ::close(in);
  char buffer[4096];
  for (ssize_t n; (n = ::read(out, buffer, sizeof(buffer))) > 0;) output->append(buffer, n);
  ::close(out);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int add_service_user(const std::string& root, const std::string& name,
                     const std::string& password) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = spawn({"--root", root, "--add-user", name}, fds[0], root + ".add-user.log");
  ::close(fds[0]);
  const std::string line = password + "\n";
  (void)!::write(fds[1], line.data(), line.size());
  ::close(fds[1]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ServiceProcess::ServiceProcess(std::string root, std::vector<std::string> local_roots,
                               std::string log_path, std::vector<std::string> options)
    : root_(std::move(root)),
      local_roots_(std::move(local_roots)),
      log_path_(std::move(log_path)),
      options_(std::move(options)),
      port_file_(log_path_ + ".port") {}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) stop(SIGTERM);
}

bool ServiceProcess::start(std::uint16_t port) {
  std::vector<std::string> args = {"--root", root_, "--port", std::to_string(port),
                                   "--port-file", port_file_};
  for (const std::string& dir : local_roots_) {
    args.push_back("--local-root");
    args.push_back(dir);
  }
  // Tests read the log: every line is written unless an option says less.
  args.push_back("--log-level");
  args.push_back("info");
  args.insert(args.end(), options_.begin(), options_.end());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    ::unlink(port_file_.c_str());
    const int null_fd = ::open("/dev/null", O_RDONLY);
    pid_ = spawn(args, null_fd, log_path_);
    ::close(null_fd);
    if (pid_ < 0) return false;
    for (;;) {
      bool ok = false;
      const std::string text = read_file(port_file_, &ok);
      if (ok && !text.empty()) {
        port_ = static_cast<std::uint16_t>(std::stoi(text));
        return true;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;  // it exited: a busy fixed port, most likely; try again
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (port == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

int ServiceProcess::stop(int sig) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, sig);
  for (int i = 0; i < 1000; ++i) {  // 10 s
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  return wait();
}

int ServiceProcess::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string ServiceProcess::log() const { return read_file(log_path_); }
