#include "cli/password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace {

// The terminal and its settings while echo is off, so that a signal that
// ends the process during the prompt can turn echo back on.
int g_tty = -1;
termios g_saved;

void restore_and_reraise(int sig) {
  tcsetattr(g_tty, TCSAFLUSH, &g_saved);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Reads one line from `fd` byte by byte (nothing beyond the line is consumed).
std::optional<std::string> read_line(int fd) {
  std::string line;
  char c;
  for (;;) {
    const ssize_t got = read(fd, &c, 1);
    if (got < 0) return std::nullopt;
    if (got == 0) return line.empty() ? std::nullopt : std::optional<std::string>(line);
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> prompt_on_terminal(int tty, const std::string& user) {
  const std::string prompt = "Password for " + user + ": ";
  if (write(tty, prompt.data(), prompt.size()) < 0) return std::nullopt;
  const bool can_hide = tcgetattr(tty, &g_saved) == 0;
  if (can_hide) {
    g_tty = tty;
    termios quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the Enter key still moves to the next line
    signal(SIGINT, restore_and_reraise);
    signal(SIGTERM, restore_and_reraise);
    signal(SIGHUP, restore_and_reraise);
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  std::optional<std::string> password = read_line(tty);
  if (can_hide) {
    tcsetattr(tty, TCSAFLUSH, &g_saved);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    g_tty = -1;
  }
  return password;
}

}  // namespace

std::optional<std::string> read_password(const std::string& user) {
  if (const char* from_env = std::getenv("BREVANTO_PASSWORD")) return std::string(from_env);
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty >= 0) {
    std::optional<std::string> password = prompt_on_terminal(tty, user);
    close(tty);
    return password;
  }
  return read_line(STDIN_FILENO);
}
