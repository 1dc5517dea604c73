// Test helper: checks --json output strictly, so that a test fails on any
// line a JSON parser would refuse.
#ifndef BREVANTO_CLI_TESTING_JSON_CHECK_H_
#define BREVANTO_CLI_TESTING_JSON_CHECK_H_

#include <string>
#include <vector>

// True when `text` is exactly one JSON object (RFC 8259: strings of
// well-formed UTF-8 without raw control characters, escapes that decode, no
// lone surrogate, nothing after it).
bool is_json_object(const std::string& text);

// The lines of `output`, without their line feeds.
std::vector<std::string> split_lines(const std::string& output);

#endif  // BREVANTO_CLI_TESTING_JSON_CHECK_H_
