#include "service/accounts/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

bool read_password(std::string* password) {
  password->clear();
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  termios saved = {};
  if (terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    std::fputs("Password: ", stderr);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  // Byte by byte, so nothing after the line is consumed.
  bool got_any = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0) break;
    got_any = true;
    if (c == '\n') break;
    password->push_back(c);
  }
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  return got_any;
}
