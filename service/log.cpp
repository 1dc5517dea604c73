#include "service/log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

void log_line(const char* format, ...) {
  char line[2048];
  const std::time_t now = std::time(nullptr);
  std::tm tm_utc;
  gmtime_r(&now, &tm_utc);
  std::size_t used = std::strftime(line, sizeof(line), "%Y-%m-%dT%H:%M:%SZ brevanto-service: ",
                                   &tm_utc);
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line + used, sizeof(line) - used - 1, format, args);
  va_end(args);
  if (n > 0) used += static_cast<std::size_t>(n);
  if (used > sizeof(line) - 2) used = sizeof(line) - 2;  // cut long lines
  line[used++] = '\n';
  const char* p = line;
  while (used > 0) {
    const ssize_t w = ::write(STDERR_FILENO, p, used);
    if (w <= 0) break;
    p += w;
    used -= static_cast<std::size_t>(w);
  }
}

std::string log_safe(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}
