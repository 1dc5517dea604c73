#include "tests/cli_support/json_check.h"

#include <cstdlib>
#include <cstring>

#include "util/text.h"

namespace {

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool value() {
    space();
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{': return list('{', '}', true);
      case '[': return list('[', ']', false);
      case '"': return string();
      case 't': return word("true");
      case 'f': return word("false");
      case 'n': return word("null");
      default: return number();
    }
  }
  bool object_alone() {
    space();
    if (at_ >= text_.size() || text_[at_] != '{' || !value()) return false;
    space();
    return at_ == text_.size();
  }

 private:
  bool take(char c) {
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  void space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' ||
                                  text_[at_] == '\n')) {
      ++at_;
    }
  }
  bool word(const char* expected) {
    if (text_.compare(at_, std::strlen(expected), expected) != 0) return false;
    at_ += std::strlen(expected);
    return true;
  }
  bool number() {
    // JSON's grammar is strtod's without hex, inf, nan, '+' or leading zeros.
    const char* start = text_.c_str() + at_;
    if (!std::strchr("-0123456789", *start) || *start == '\0') return false;
    const char* digits = start + (*start == '-');
    if (digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9') return false;
    char* end = nullptr;
    std::strtod(start, &end);
    if (end == start || std::string(start, static_cast<std::size_t>(end - start))
                            .find_first_of("xXiInN") != std::string::npos) {
      return false;
    }
    at_ += static_cast<std::size_t>(end - start);
    return true;
  }
  // An object (members, with a string before each ':') or an array.
  bool list(char open, char close, bool members) {
    take(open);
    space();
    if (take(close)) return true;
    do {
      space();
      if (members && (!string() || (space(), !take(':')))) return false;
      if (!value()) return false;
      space();
    } while (take(','));
    return take(close);
  }
  bool hex4(unsigned& unit) {
    if (at_ + 4 > text_.size()) return false;
    const std::string digits = text_.substr(at_, 4);
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    unit = static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 16));
    at_ += 4;
    return true;
  }
  bool string() {
    if (!take('"')) return false;
    const std::size_t from = at_;
    while (at_ < text_.size() && text_[at_] != '"') {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_ >= text_.size()) return false;
      const char escape = text_[at_++];
      if (escape != '\0' && std::strchr("\"\\/bfnrt", escape)) continue;
      unsigned unit = 0;
      if (escape != 'u' || !hex4(unit) || (unit >= 0xdc00 && unit <= 0xdfff)) return false;
      unsigned trail = 0;
      if (unit >= 0xd800 && unit <= 0xdbff &&
          (!take('\\') || !take('u') || !hex4(trail) || trail < 0xdc00 || trail > 0xdfff)) {
        return false;
      }
    }
    return is_valid_utf8(std::string_view(text_).substr(from, at_ - from)) && take('"');
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace

bool is_json_object(const std::string& text) { return Reader(text).object_alone(); }

std::vector<std::string> split_lines(const std::string& output) {
  std::vector<std::string> lines;
  for (std::size_t from = 0, end = 0; from < output.size(); from = end + 1) {
    end = output.find('\n', from);
    if (end == std::string::npos) end = output.size();
    lines.push_back(output.substr(from, end - from));
  }
  return lines;
}
