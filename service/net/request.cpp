#include "service/net/request.h"

#include <sodium.h>

#include <cstring>

#include "service/errors.h"
#include "util/ascii.h"

Request::Request(const char* text, std::size_t size) {
  // A NUL would cut the text short for the parser and hide what follows.
  if (std::memchr(text, '\0', size) != nullptr) {
    throw ServiceError(kBadRequest, "request holds a NUL byte");
  }
  if (parse_reply(doc_, text) != 0 || doc_.elements.empty()) {
    throw ServiceError(kBadRequest, "request holds no complete tag");
  }
  name_ = doc_.elements.front().name;
}

Request::~Request() {
  for (_reply_element& element : doc_.elements) {
    for (_reply_attribute& attribute : element.attributes) {
      if (!attribute.value.empty()) sodium_memzero(&attribute.value[0], attribute.value.size());
    }
  }
}

bool Request::is(const char* element) const { return ascii_iequals(name_, element); }

const std::string* Request::find(const char* attribute) const {
  const _reply_attribute* found = find_attribute(doc_, attribute);
  return found ? &found->value : nullptr;
}

const std::string& Request::get(const char* attribute) const {
  const std::string* value = find(attribute);
  if (value == nullptr) throw ServiceError(kBadRequest, std::string("missing ") + attribute);
  return *value;
}
