// JSON text for --json output: string values and member lists.
#ifndef BREVANTO_CLI_JSON_TEXT_H_
#define BREVANTO_CLI_JSON_TEXT_H_

#include <string>
#include <string_view>

// `text` (UTF-8) as a JSON string, quoted, with '"', '\' and control
// characters escaped.
std::string json_string(std::string_view text);

#endif  // BREVANTO_CLI_JSON_TEXT_H_
