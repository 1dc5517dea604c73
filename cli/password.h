// Where the password comes from: never the command line.
#ifndef BREVANTO_CLI_PASSWORD_H_
#define BREVANTO_CLI_PASSWORD_H_

#include <optional>
#include <string>

// BREVANTO_PASSWORD when set; otherwise a prompt without echo on the
// controlling terminal; without a terminal, one line of standard input.
// Empty when nothing could be read (end of input).
std::optional<std::string> read_password(const std::string& user);

#endif  // BREVANTO_CLI_PASSWORD_H_
