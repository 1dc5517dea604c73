#include "service/net/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> g_stop{false};
int g_pipe[2] = {-1, -1};

void on_stop_signal(int) { request_stop(); }

}  // namespace

bool install_stop_handlers() {
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void request_stop() {
  const int saved = errno;
  if (!g_stop.exchange(true) && g_pipe[1] >= 0) {
    const char byte = 1;
    (void)!::write(g_pipe[1], &byte, 1);  // never drained: stays readable
  }
  errno = saved;
}

bool stop_requested() { return g_stop.load(); }

int stop_fd() { return g_pipe[0]; }
