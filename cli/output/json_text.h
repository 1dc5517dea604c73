// JSON text for --json output: string values and objects.
#ifndef BREVANTO_CLI_JSON_TEXT_H_
#define BREVANTO_CLI_JSON_TEXT_H_

#include <string>
#include <string_view>
#include <type_traits>

// `text` as a JSON string, quoted, with '"', '\' and control characters
// escaped. The result is always valid UTF-8: Linux names may hold any bytes,
// and a byte that is not part of a well-formed UTF-8 sequence is written as
// the four characters \xNN (its value in lower-case hex, "\\xff" in the
// JSON text), as Python's backslashreplace writes it.
std::string json_string(std::string_view text);

// The bytes of `text` in lower-case hex ("61ff").
std::string hex_bytes(std::string_view text);

// One JSON object, built member by member, written compactly
// ({"a":1,"b":"x"}). Members keep the order they were added in.
class JsonObject {
 public:
  JsonObject& string(const char* name, std::string_view value);
  // A name or path: as string(), and when it is not valid UTF-8, a second
  // member "<name>_hex" with its bytes in hex, so that a program gets the
  // exact bytes back.
  JsonObject& name(const char* name, std::string_view value);
  template <typename T,
            std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
  JsonObject& number(const char* name, T value) {
    return raw(name, std::to_string(value));
  }
  // With at most three decimals ("1.5", "0.125"); 0 for what is not finite.
  JsonObject& number(const char* name, double value);
  JsonObject& boolean(const char* name, bool value) { return raw(name, value ? "true" : "false"); }
  // `json`: a JSON value written elsewhere (an array, null).
  JsonObject& raw(const char* name, std::string_view json);
  // The members of `other` after these.
  JsonObject& append(const JsonObject& other);

  std::string str() const { return "{" + members_ + "}"; }

 private:
  std::string members_;
};

#endif  // BREVANTO_CLI_JSON_TEXT_H_
