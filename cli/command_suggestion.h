// The message for a subcommand the program does not know, with the nearest
// known ones, as other command-line tools print it.
#ifndef BREVANTO_CLI_COMMAND_SUGGESTION_H_
#define BREVANTO_CLI_COMMAND_SUGGESTION_H_

#include <string>
#include <vector>

// The first word of `args` (after the program name) that is neither an
// option nor the value of one of `value_options`; empty when there is none,
// or when an option that is neither one of those nor of `flags` comes first
// (the parser's own message says more then).
std::string first_command_word(const std::vector<std::string>& args,
                               const std::vector<std::string>& value_options,
                               const std::vector<std::string>& flags);

// "unknown command \"lss\"" and, when some are near (at most two edits
// apart and fewer edits than the word is long, or starting with the word),
// "\n\nDid you mean this?\n\tls".
std::string unknown_command_message(const std::string& word,
                                    const std::vector<std::string>& commands);

#endif  // BREVANTO_CLI_COMMAND_SUGGESTION_H_
