// The reply document: what one or more received reply texts hold, as the
// message type of the last text and the ordered list of its tags.
//
// The parser is a single pass over the bytes with two flags (quoted, in a tag
// name) and two pending strings (attribute name and value). It knows tags,
// attributes with double-quoted values, self-closing and closing tags, and
// nothing else of XML; input that XML would reject is never an error.
#ifndef BREVANTO_XML_REPLY_DOCUMENT_H_
#define BREVANTO_XML_REPLY_DOCUMENT_H_

#include <string>

#include "xml/reply_list.h"

enum ReplyMessageType {
  REPLY_PLAIN = 0,  // the first tag is neither of the two below
  REPLY_ACK = 1,    // the first tag is "ACK" followed by a space
  REPLY_RPT = 2,    // the first tag is "RPT" followed by a space
};

// One attribute: the bytes of its name and value as the text holds them (no
// entity decoding, no character-set conversion). The name is never empty.
struct _reply_attribute {
  std::string name;
  std::string value;
};
inline bool operator==(const _reply_attribute& a, const _reply_attribute& b) {
  return a.name == b.name && a.value == b.value;
}

// One tag, in the order of the '>' that ends it.
struct _reply_element {
  std::string name;
  _reply_list<_reply_attribute> attributes;
};
inline bool operator==(const _reply_element& a, const _reply_element& b) {
  return a.name == b.name && a.attributes == b.attributes;
}

// Clearing keeps the storage of elements and strings, so a connection's one
// document parses message after message without allocating.
struct _reply_document {
  int msg_type = REPLY_PLAIN;
  _reply_list<_reply_element> elements;
};

// Appends the tags of `text` to `doc`. Returns 0 when the text holds a '<',
// -1 when `text` is null or empty, 1 when it holds no '<'; on -1 and 1 the
// document is unchanged.
int parse_reply(_reply_document& doc, const char* text);

// The first attribute of the whole document, in document order, whose name
// equals `name` ignoring ASCII case; null when there is none.
const _reply_attribute* find_attribute(const _reply_document& doc, const char* name);

// Removes every element; msg_type keeps its value.
void clear_reply(_reply_document& doc);

#endif  // BREVANTO_XML_REPLY_DOCUMENT_H_
