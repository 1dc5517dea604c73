// The service's own event log: one line per event, on stderr unless set.
//
// Levels: error (the service failed at something: internal errors, a full
// disk, a session that broke), warn (something refused or suspicious:
// refused logins and connections, malformed requests, paths refused) and
// info (normal events: connections, logins, changes to the trees, and
// requests that found nothing, such as an existence check). Lines above the
// chosen level are not written; the default is warn. Start and stop lines
// are written at every level.
#ifndef BREVANTO_SERVICE_LOG_H_
#define BREVANTO_SERVICE_LOG_H_

#include <string>
#include <string_view>

enum class LogLevel { kError = 0, kWarn = 1, kInfo = 2 };

void set_log_level(LogLevel level);
bool log_enabled(LogLevel level);
// "error", "warn" or "info"; false for anything else.
bool parse_log_level(std::string_view text, LogLevel* level);

// Where lines go; stderr unless set (the fuzzer sends them nowhere).
void set_log_fd(int fd);

// Each writes "<UTC time> brevanto-service: <level>: <text>\n" with one
// write, so lines of concurrent sessions never interleave.
void log_at(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_warn(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Start and stop: "<UTC time> brevanto-service: <text>\n" at every level.
void log_always(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `text` with control bytes and DEL shown as \xNN, so names and paths that
// come from clients or from the disk cannot forge or break log lines.
std::string log_safe(std::string_view text);

#endif  // BREVANTO_SERVICE_LOG_H_
