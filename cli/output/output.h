// Where the command line's messages go. As text (the default) they are
// lines for people: problems and notices on stderr. With --json every line
// the program prints is one JSON object: results and progress on stdout,
// problems on stderr as {"message_type":"error","message":...} and notices
// as {"message_type":"notice","message":...}. The format is chosen once in
// main(), before any command runs; the functions may be called from any
// thread.
#ifndef BREVANTO_CLI_OUTPUT_H_
#define BREVANTO_CLI_OUTPUT_H_

#include <string>

#include "cli/output/json_text.h"

void set_json_output(bool json);
bool json_output();

// A problem: `line` on stderr, or with --json an error object carrying
// `line` as its message and the members of `details` (such as "item").
void print_error(const std::string& line, const JsonObject& details = JsonObject());
// A notice that is no failure (a skipped FIFO, a hint): the same, as a
// notice object.
void print_notice(const std::string& line, const JsonObject& details = JsonObject());
// A result line on stdout: `text` as text, or `json` with --json.
void print_result(const std::string& text, const JsonObject& json);
// A JSON line on stdout (used with --json only).
void print_json(const JsonObject& json);

#endif  // BREVANTO_CLI_OUTPUT_H_
