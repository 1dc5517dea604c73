// One parsed request: its element name and attributes, read with the
// client's reply parser (attribute names compared ignoring ASCII case).
#ifndef BREVANTO_SERVICE_NET_REQUEST_H_
#define BREVANTO_SERVICE_NET_REQUEST_H_

#include <cstddef>
#include <string>

#include "xml/reply_document.h"

class Request {
 public:
  // Parses `size` bytes of `text`. Throws ServiceError(kBadRequest) for a
  // text with a NUL byte or without a tag.
  Request(const char* text, std::size_t size);
  // Overwrites every parsed value: a login's holds a password.
  ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // The name of the first tag, e.g. "AddFile".
  const std::string& name() const { return name_; }
  bool is(const char* element) const;

  // The value of an attribute, or null when it is missing.
  const std::string* find(const char* attribute) const;
  // The value of an attribute; throws ServiceError(kBadRequest) when missing.
  const std::string& get(const char* attribute) const;

 private:
  _reply_document doc_;
  std::string name_;
};

#endif  // BREVANTO_SERVICE_NET_REQUEST_H_
