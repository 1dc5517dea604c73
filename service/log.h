// The service's own event log: one line per event on stderr.
#ifndef BREVANTO_SERVICE_LOG_H_
#define BREVANTO_SERVICE_LOG_H_

#include <string>
#include <string_view>

// Writes "<UTC time> brevanto-service: <text>\n" with one write, so lines of
// concurrent sessions never interleave.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `text` with control bytes and DEL shown as \xNN, so names and paths that
// come from clients or from the disk cannot forge or break log lines.
std::string log_safe(std::string_view text);

#endif  // BREVANTO_SERVICE_LOG_H_
