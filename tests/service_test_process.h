// brevanto-service as a child process of an end-to-end test.
#ifndef BREVANTO_TESTS_SERVICE_TEST_PROCESS_H_
#define BREVANTO_TESTS_SERVICE_TEST_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Starts `argv` (argv[0] a path) with pipes to its stdin and from its
// stdout (and its stderr too when `with_stderr`); their ends go to
// `stdin_fd` and `stdout_fd`. -1 when it cannot start.
pid_t start_program(const std::vector<std::string>& argv, int* stdin_fd, int* stdout_fd,
                    bool with_stderr = false);

// Runs `argv` with `input` on its stdin until it ends; its output goes to
// `output`. The exit code, -1 when it did not exit.
int run_program(const std::vector<std::string>& argv, const std::string& input,
                std::string* output, bool with_stderr = false);

// Runs `brevanto-service --root ROOT --add-user NAME` with `password` on its
// stdin; returns the exit code (-1 when it could not run).
int add_service_user(const std::string& root, const std::string& name,
                     const std::string& password);

class ServiceProcess {
 public:
  // The service's stderr goes to `log_path`, appended to across restarts.
  // `options` are passed after the usual ones, which include
  // "--log-level info" (e.g. time limits, or a quieter log level).
  ServiceProcess(std::string root, std::vector<std::string> local_roots, std::string log_path,
                 std::vector<std::string> options = {});
  // Stops a running service with SIGTERM (SIGKILL if it lingers).
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the service on `port` (0: any free port) and waits until it
  // listens. A fixed port that is busy is tried again for a few seconds.
  bool start(std::uint16_t port = 0);

  // Sends `sig` and waits for the exit; returns the waitpid status, or -1
  // when nothing runs.
  int stop(int sig);
  // Waits for an exit caused elsewhere (e.g. a kill from a callback).
  int wait();

  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  std::string log() const;

 private:
  std::string root_;
  std::vector<std::string> local_roots_;
  std::string log_path_;
  std::vector<std::string> options_;
  std::string port_file_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

#endif  // BREVANTO_TESTS_SERVICE_TEST_PROCESS_H_
