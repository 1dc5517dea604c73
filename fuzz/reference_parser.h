// The reply parser written the plain way, byte by byte into std::vector and
// std::string, as a reference for the differential fuzzer: the production
// parser works on runs and recycles storage, and must give the same result.
#ifndef BREVANTO_FUZZ_REFERENCE_PARSER_H_
#define BREVANTO_FUZZ_REFERENCE_PARSER_H_

#include <string>
#include <vector>

namespace reference {

struct Attribute {
  std::string name;
  std::string value;
};
struct Element {
  std::string name;
  std::vector<Attribute> attributes;
};
struct Document {
  int msg_type = 0;
  std::vector<Element> elements;
};

int parse_reply(Document& doc, const char* text);

}  // namespace reference

#endif  // BREVANTO_FUZZ_REFERENCE_PARSER_H_
