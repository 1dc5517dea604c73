// UTF-8 <-> wide text for the library's interface, through the library's own
// converter (util/text.h). The command line refuses text that is not UTF-8
// instead of letting the converter replace it.
#ifndef BREVANTO_CLI_TEXT_H_
#define BREVANTO_CLI_TEXT_H_

#include <string>
#include <string_view>

#include "util/text.h"

// Throws text_error naming the text when it is not valid UTF-8.
inline std::wstring widen(std::string_view utf8) {
  if (!is_valid_utf8(utf8)) {
    throw text_error(("not valid UTF-8: " + std::string(utf8)).c_str());
  }
  return utf8_to_wide(utf8);
}

// Wide text from the library as UTF-8; a lone surrogate becomes U+FFFD.
inline std::string narrow(const std::wstring& wide) { return to_utf8(wide.c_str()); }

#endif  // BREVANTO_CLI_TEXT_H_
