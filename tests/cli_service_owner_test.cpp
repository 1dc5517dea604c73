// Before the password goes out: the owner of the socket listening on
// 127.0.0.1:11001 must be root, the user, or --service-uid.
#include <grp.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "cli/remote/service_owner.h"
#include "tests/cli_support/cli_runner.h"

namespace {

TEST(CliServiceOwner, ListenersThatTakeALoopbackConnection) {
  const struct {
    int family;
    std::vector<unsigned char> address;
    bool v6only;
    std::uint16_t port;
    bool takes;
  } cases[] = {
      {AF_INET, {127, 0, 0, 1}, false, kServicePort, true},
      {AF_INET, {0, 0, 0, 0}, false, kServicePort, true},
      {AF_INET, {127, 0, 0, 2}, false, kServicePort, false},
      {AF_INET, {127, 0, 0, 1}, false, kServicePort + 1, false},
      {AF_INET6, std::vector<unsigned char>(16, 0), false, kServicePort, true},  // ::
      {AF_INET6, std::vector<unsigned char>(16, 0), true, kServicePort, false},  // :: v6 only
      {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1}, false, kServicePort,
       true},
      {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false, kServicePort, false},
  };
  for (const auto& c : cases) {
    ListeningSocket socket;
    socket.family = c.family;
    std::memcpy(socket.address, c.address.data(), c.address.size());
    socket.v6only = c.v6only;
    socket.port = c.port;
    EXPECT_EQ(takes_loopback_connection(socket, kServicePort), c.takes)
        << c.family << " " << int(c.address.back()) << " " << c.port;
  }
}

TEST(CliServiceOwner, AnotherUsersListenerGetsNoPassword) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can start a listener as another uid";
  // A listener as uid 65534 that counts the connections it accepts.
  auto* accepted = static_cast<std::atomic<int>*>(mmap(
      nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  accepted->store(0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  claim_service_port().reset();  // waits until the port is free
  const pid_t listener = fork();
  if (listener == 0) {
    // The socket's owner is whoever creates it: uid 65534 first.
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;  // the port may still hold connections in TIME_WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kServicePort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 8) != 0 || write(ready[1], "x", 1) != 1) {
      _exit(1);
    }
    for (;;) {
      const int client = accept(fd, nullptr, nullptr);
      ++*accepted;
      close(client);  // after the accept: the client's login then fails
    }
  }
  close(ready[1]);  // a listener that failed to start ends the read
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);

  CliResult result = run_cli({"--user", "ann", "ls", "\\"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_NE(result.err.find("login: the program listening on 127.0.0.1:11001 runs as uid 65534"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("add --service-uid 65534"), std::string::npos) << result.err;
  EXPECT_EQ(accepted->load(), 0);  // not even connected to: nothing sent

  result = run_cli({"--user", "ann", "--service-uid", "65534", "ls", "\\"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(accepted->load(), 1);
  kill(listener, SIGKILL);
  waitpid(listener, nullptr, 0);
  close(ready[0]);
  munmap(accepted, sizeof(std::atomic<int>));
}

}  // namespace
