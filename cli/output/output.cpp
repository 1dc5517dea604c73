#include "cli/output/output.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<bool> json_chosen{false};

// One whole line in one write, so that lines of several threads never mix.
void put_line(std::FILE* stream, const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void print_message(const char* type, const std::string& line, const JsonObject& details) {
  if (!json_output()) {
    put_line(stderr, line);
    return;
  }
  JsonObject json;
  json.string("message_type", type).string("message", line).append(details);
  put_line(stderr, json.str());
}

}  // namespace

void set_json_output(bool json) { json_chosen = json; }

bool json_output() { return json_chosen; }

void print_error(const std::string& line, const JsonObject& details) {
  print_message("error", line, details);
}

void print_notice(const std::string& line, const JsonObject& details) {
  print_message("notice", line, details);
}

void print_result(const std::string& text, const JsonObject& json) {
  put_line(stdout, json_output() ? json.str() : text);
}

void print_json(const JsonObject& json) { put_line(stdout, json.str()); }
