#include "fuzz/reference_parser.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "xml/reply_document.h"  // the message type values

namespace reference {

namespace {

// What a byte does outside double quotes. Inside quotes every byte but '"'
// is stored.
enum ByteClass : unsigned char {
  kStore = 0,  // appended to the tag name, pending name or pending value
  kSeparator,  // space, tab, line feed; a carriage return is an ordinary byte
  kQuote,      // '"'
  kSlash,      // '/'
  kOpen,       // '<'
  kEquals,     // '='
  kClose,      // '>'
};

struct ByteClassTable {
  unsigned char cls[256];

  constexpr ByteClassTable() : cls() {
    cls[0x20] = kSeparator;
    cls[0x09] = kSeparator;
    cls[0x0A] = kSeparator;
    cls[static_cast<unsigned char>('"')] = kQuote;
    cls[static_cast<unsigned char>('/')] = kSlash;
    cls[static_cast<unsigned char>('<')] = kOpen;
    cls[static_cast<unsigned char>('=')] = kEquals;
    cls[static_cast<unsigned char>('>')] = kClose;
  }
};

constexpr ByteClassTable kByteClass;

// Folds ASCII upper-case letters to lower case and leaves every other byte
// alone, so the result never depends on the C locale.
inline char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the tag name at `p` is the lower-case three-letter `word` in any
// case followed by a space. Stops at the first mismatch, so it never reads
// past the terminating NUL of a short text.
bool IsTypeTag(const char* p, const char* word) {
  for (int i = 0; i < 3; ++i) {
    if (FoldAscii(p[i]) != word[i]) return false;
  }
  return p[3] == ' ';
}

int MessageTypeAt(const char* after_open) {
  if (IsTypeTag(after_open, "ack")) return REPLY_ACK;
  if (IsTypeTag(after_open, "rpt")) return REPLY_RPT;
  return REPLY_PLAIN;
}

}  // namespace

int parse_reply(Document& doc, const char* text) {
  if (text == nullptr || text[0] == '\0') return -1;
  const char* const first = std::strchr(text, '<');
  if (first == nullptr) return 1;

  doc.msg_type = MessageTypeAt(first + 1);

  bool quoted = false;
  bool in_name = false;
  std::string pending_name;
  std::string pending_value;
  Element working;

  // A byte goes to the tag name while in one, else to the attribute name
  // outside quotes and to the value inside them.
  auto store = [&](char c) {
    if (in_name) {
      working.name.push_back(c);
    } else if (!quoted) {
      pending_name.push_back(c);
    } else {
      pending_value.push_back(c);
    }
  };
  // Completes the pending attribute. Without a name nothing is stored and a
  // pending value stays for the next attribute of the tag.
  auto flush = [&]() {
    if (pending_name.empty()) return;
    working.attributes.push_back(
        Attribute{std::move(pending_name), std::move(pending_value)});
    pending_name.clear();
    pending_value.clear();
  };

  for (const char* p = first; *p != '\0'; ++p) {
    const char c = *p;
    const unsigned char cls = kByteClass.cls[static_cast<unsigned char>(c)];
    if (quoted) {
      // '/' included: values such as "I/O error" keep their slashes.
      if (cls == kQuote) {
        quoted = false;
        flush();
      } else {
        store(c);
      }
      continue;
    }
    switch (cls) {
      case kSeparator:
        if (in_name) {
          in_name = false;
        } else {
          flush();
        }
        break;
      case kQuote:
        quoted = true;
        break;
      case kSlash:
        // "</" starts the name of a closing tag; any other '/' outside
        // quotes (as in "/>") is dropped. Scanning starts at a '<', so
        // p[-1] is always inside the text.
        if (p[-1] == '<') {
          in_name = true;
          pending_value.clear();
        }
        break;
      case kOpen:
        // The pending name is kept on purpose: stray bytes before a tag
        // join its first attribute name.
        in_name = true;
        pending_value.clear();
        break;
      case kEquals:
        break;
      case kClose:
        // Flags and pending strings carry over into the next tag.
        doc.elements.push_back(std::move(working));
        working.name.clear();
        working.attributes.clear();
        break;
      default:
        store(c);
        break;
    }
  }
  // A tag cut off before its '>' yields no element.
  return 0;
}


}  // namespace reference
