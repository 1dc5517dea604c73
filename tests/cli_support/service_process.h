// Test helper: the reference service as a child process on 127.0.0.1:11001,
// with a new storage root holding one account.
#ifndef BREVANTO_CLI_TESTING_SERVICE_PROCESS_H_
#define BREVANTO_CLI_TESTING_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

class ServiceProcess {
 public:
  // Adds `user` with `password` to a new root in `work_dir`, then serves
  // `local_roots`. Waits while another program holds the port (up to a
  // minute); throws when the service does not start.
  ServiceProcess(const std::string& work_dir, const std::string& user,
                 const std::string& password, const std::vector<std::string>& local_roots);
  ~ServiceProcess();  // SIGTERM, then waits
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

 private:
  pid_t pid_ = -1;
};

#endif  // BREVANTO_CLI_TESTING_SERVICE_PROCESS_H_
