// UTF-8 <-> wide text for the library's interface (wchar_t holds one code
// point on Linux), independent of the process locale.
#ifndef BREVANTO_CLI_TEXT_H_
#define BREVANTO_CLI_TEXT_H_

#include <stdexcept>
#include <string>
#include <string_view>

class TextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Strict decoding: overlong forms, surrogates and values past U+10FFFF are
// rejected. Throws TextError naming the offending text.
std::wstring widen(std::string_view utf8);
// Encodes every code point; a lone surrogate or out-of-range value throws.
std::string narrow(std::wstring_view wide);

// True when `utf8` decodes under the rules of widen().
bool is_valid_utf8(std::string_view utf8);

#endif  // BREVANTO_CLI_TEXT_H_
