// Where the password comes from: never the command line.
#ifndef BREVANTO_CLI_PASSWORD_H_
#define BREVANTO_CLI_PASSWORD_H_

#include <optional>
#include <string>

// Where to look first: the first line of a file, or of what a command
// prints (run with /bin/sh -c; it must exit with 0).
struct PasswordSource {
  std::string file;
  std::string command;
};

// The source's file or command when given; else BREVANTO_PASSWORD when set;
// otherwise a prompt without echo on the controlling terminal; without a
// terminal, one line of standard input. Empty, with `error` saying why,
// when nothing could be read.
std::optional<std::string> read_password(const std::string& user, const PasswordSource& source,
                                         std::string& error);

#endif  // BREVANTO_CLI_PASSWORD_H_
