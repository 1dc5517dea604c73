// Reads a password from standard input for --add-user.
#ifndef BREVANTO_SERVICE_ACCOUNTS_PASSWORD_INPUT_H_
#define BREVANTO_SERVICE_ACCOUNTS_PASSWORD_INPUT_H_

#include <string>

// Reads one line from stdin without its line end. When stdin is a terminal
// the prompt goes to stderr and echo is off while typing. False at end of
// input with nothing read, or on a read error.
bool read_password(std::string* password);

#endif  // BREVANTO_SERVICE_ACCOUNTS_PASSWORD_INPUT_H_
