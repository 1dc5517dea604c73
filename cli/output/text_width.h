// How wide UTF-8 text is on a terminal, in screen columns: CJK ideographs
// and most emoji take two, combining marks none.
#ifndef BREVANTO_CLI_TEXT_WIDTH_H_
#define BREVANTO_CLI_TEXT_WIDTH_H_

#include <string>
#include <string_view>

// Columns of `text`; bytes that are not UTF-8 and unprintable characters
// count one column each, as terminals show them as a replacement.
int display_width(std::string_view text);

// The longest prefix of `text` that fits in `columns`, cut between
// characters.
std::string fit_columns(std::string_view text, int columns);

#endif  // BREVANTO_CLI_TEXT_WIDTH_H_
