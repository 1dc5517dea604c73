#include "service/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kWarn)};
std::atomic<int> g_fd{STDERR_FILENO};

void write_line(const char* tag, const char* format, va_list args) {
  char line[2048];
  const std::time_t now = std::time(nullptr);
  std::tm tm_utc;
  gmtime_r(&now, &tm_utc);
  std::size_t used = std::strftime(line, sizeof(line), "%Y-%m-%dT%H:%M:%SZ brevanto-service: ",
                                   &tm_utc);
  const int t = std::snprintf(line + used, sizeof(line) - used, "%s", tag);
  if (t > 0) used += static_cast<std::size_t>(t);
  const int n = std::vsnprintf(line + used, sizeof(line) - used - 1, format, args);
  if (n > 0) used += static_cast<std::size_t>(n);
  if (used > sizeof(line) - 2) used = sizeof(line) - 2;  // cut long lines
  line[used++] = '\n';
  const char* p = line;
  const int fd = g_fd.load();
  while (used > 0) {
    const ssize_t w = ::write(fd, p, used);
    if (w <= 0) break;
    p += w;
    used -= static_cast<std::size_t>(w);
  }
}

}  // namespace

void set_log_level(LogLevel level) { g_level = static_cast<int>(level); }

bool log_enabled(LogLevel level) { return static_cast<int>(level) <= g_level.load(); }

bool parse_log_level(std::string_view text, LogLevel* level) {
  if (text == "error") *level = LogLevel::kError;
  else if (text == "warn") *level = LogLevel::kWarn;
  else if (text == "info") *level = LogLevel::kInfo;
  else return false;
  return true;
}

void set_log_fd(int fd) { g_fd = fd; }

void log_at(LogLevel level, const char* format, ...) {
  if (!log_enabled(level)) return;
  static const char* const kTags[] = {"error: ", "warn: ", "info: "};
  va_list args;
  va_start(args, format);
  write_line(kTags[static_cast<int>(level)], format, args);
  va_end(args);
}

#define BREVANTO_LOG_AT(name, level, tag)      \
  void name(const char* format, ...) {         \
    if (!log_enabled(level)) return;           \
    va_list args;                              \
    va_start(args, format);                    \
    write_line(tag, format, args);             \
    va_end(args);                              \
  }

BREVANTO_LOG_AT(log_error, LogLevel::kError, "error: ")
BREVANTO_LOG_AT(log_warn, LogLevel::kWarn, "warn: ")
BREVANTO_LOG_AT(log_info, LogLevel::kInfo, "info: ")
BREVANTO_LOG_AT(log_always, LogLevel::kError, "")

#undef BREVANTO_LOG_AT

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
