#include "cli/remote/password.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/local/local_file.h"

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

constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP};

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
  // The handlers before the prompt come back after it: a backup that asks
  // for the password has its own for Ctrl-C already.
  struct sigaction previous[3];
  if (can_hide) {
    g_tty = tty;
    termios quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;  // the Enter key still moves to the next line
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i) sigaction(kPromptSignals[i], &action, &previous[i]);
    tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  std::optional<std::string> password = read_line(tty);
  if (can_hide) {
    tcsetattr(tty, TCSAFLUSH, &g_saved);
    for (int i = 0; i < 3; ++i) sigaction(kPromptSignals[i], &previous[i], nullptr);
    g_tty = -1;
  }
  return password;
}

// The first line of `text`, without its line end.
std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> from_command(const std::string& command, std::string& error) {
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    error = "--password-command: " + std::string(std::strerror(errno));
    return std::nullopt;
  }
  std::string output;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  const int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "--password-command: the command failed" +
            (status != -1 && WIFEXITED(status)
                 ? " (exit " + std::to_string(WEXITSTATUS(status)) + ")"
                 : std::string());
    return std::nullopt;
  }
  return first_line(output);
}

}  // namespace

std::optional<std::string> read_password(const std::string& user, const PasswordSource& source,
                                         std::string& error) {
  if (!source.file.empty()) {
    std::string text;
    if (!read_whole_file(source.file, text, error)) {
      error = "--password-file " + source.file + ": " + error;
      return std::nullopt;
    }
    return first_line(text);
  }
  if (!source.command.empty()) return from_command(source.command, error);
  error = "no password: set BREVANTO_PASSWORD, use --password-file or --password-command, "
          "or run on a terminal";
  if (const char* from_env = std::getenv("BREVANTO_PASSWORD")) return std::string(from_env);
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty >= 0) {
    std::optional<std::string> password = prompt_on_terminal(tty, user);
    close(tty);
    return password;
  }
  return read_line(STDIN_FILENO);
}
