#include "xml/reply_document.h"

#include <cstddef>
#include <cstring>

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
  kEnd,        // the terminating NUL
};

struct ByteClassTable {
  unsigned char cls[256];

  constexpr ByteClassTable() : cls() {
    cls[0x00] = kEnd;
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

inline unsigned char class_of(char c) { return kByteClass.cls[static_cast<unsigned char>(c)]; }

// Folds ASCII upper-case letters to lower case and leaves every other byte
// alone, so the result never depends on the C locale.
inline char fold_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when the tag name at `p` is the lower-case three-letter `word` in any
// case followed by a space. Stops at the first mismatch, so it never reads
// past the terminating NUL of a short text.
bool is_type_tag(const char* p, const char* word) {
  for (int i = 0; i < 3; ++i) {
    if (fold_ascii(p[i]) != word[i]) return false;
  }
  return p[3] == ' ';
}

int message_type_at(const char* after_open) {
  if (is_type_tag(after_open, "ack")) return REPLY_ACK;
  if (is_type_tag(after_open, "rpt")) return REPLY_RPT;
  return REPLY_PLAIN;
}

// The element being built: the document's next slot, emptied.
_reply_element& start_element(_reply_document& doc) {
  _reply_element& element = doc.elements.next_slot();
  element.name.clear();
  element.attributes.clear();
  return element;
}

}  // namespace

// The scanner works on runs: a stretch of ordinary bytes is found with the
// byte-class table (or memchr inside quotes) and stored with one append.
// The pending attribute is built in place, in the working element's next
// attribute slot, so completing it is a count and no copy; elements and
// strings keep their storage from one message to the next.
int parse_reply(_reply_document& doc, const char* text) {
  if (text == nullptr || text[0] == '\0') return -1;
  const char* const first = std::strchr(text, '<');
  if (first == nullptr) return 1;

  doc.msg_type = message_type_at(first + 1);

  bool quoted = false;
  bool in_name = false;
  _reply_element* working = &start_element(doc);
  _reply_attribute* pending = &working->attributes.next_slot();
  pending->name.clear();
  pending->value.clear();

  // Completes the pending attribute. Without a name nothing is stored and a
  // pending value stays for the next attribute of the tag.
  auto flush = [&]() {
    if (pending->name.empty()) return;
    working->attributes.commit();
    pending = &working->attributes.next_slot();
    pending->name.clear();
    pending->value.clear();
  };

  // The text ends at its NUL, where the byte-class table stops every run.
  // A tag cut off before its '>' yields no element: its slot is never
  // committed.
  const char* p = first;
  for (;;) {
    if (quoted) {
      // Everything up to the closing quote is stored, '/' included: values
      // such as "I/O error" keep their slashes.
      const char* q = std::strchr(p, '"');
      const char* run_end = q ? q : p + std::strlen(p);
      (in_name ? working->name : pending->value).append(p, static_cast<std::size_t>(run_end - p));
      if (q == nullptr) break;
      quoted = false;
      flush();
      p = q + 1;
      // The space between attributes: outside a tag name it would flush an
      // attribute that was just flushed, so it is passed over here.
      if (*p == ' ' && !in_name) ++p;
      continue;
    }
    const unsigned char cls = class_of(*p);
    if (cls == kStore) {
      const char* q = p + 1;
      while (class_of(*q) == kStore) ++q;
      // The common bytes after a run are taken here without the general
      // dispatch below: the space that ends a tag name, and the '="' that
      // opens an attribute's value.
      if (in_name) {
        working->name.append(p, static_cast<std::size_t>(q - p));
        if (*q == ' ') {
          in_name = false;
          ++q;
        }
      } else {
        pending->name.append(p, static_cast<std::size_t>(q - p));
        if (q[0] == '=' && q[1] == '"') {
          quoted = true;
          q += 2;
        }
      }
      p = q;
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
          pending->value.clear();
        }
        break;
      case kOpen:
        // The pending name is kept on purpose: stray bytes before a tag
        // join its first attribute name.
        in_name = true;
        pending->value.clear();
        break;
      case kEquals:
        break;
      case kClose: {
        // Flags and the pending attribute carry over into the next tag.
        doc.elements.commit();
        _reply_attribute* carried = pending;
        working = &start_element(doc);
        pending = &working->attributes.next_slot();
        pending->name.clear();
        pending->value.clear();
        if (!carried->name.empty() || !carried->value.empty()) {
          pending->name.swap(carried->name);
          pending->value.swap(carried->value);
        }
        break;
      }
      default:  // kEnd: the text is over
        return 0;
    }
    ++p;
  }
  return 0;
}

const _reply_attribute* find_attribute(const _reply_document& doc, const char* name) {
  if (name == nullptr) return nullptr;
  const std::size_t len = std::strlen(name);
  for (const _reply_element& element : doc.elements) {
    for (const _reply_attribute& attr : element.attributes) {
      if (attr.name.size() != len) continue;
      std::size_t i = 0;
      while (i < len && fold_ascii(attr.name[i]) == fold_ascii(name[i])) ++i;
      if (i == len) return &attr;
    }
  }
  return nullptr;
}

void clear_reply(_reply_document& doc) { doc.elements.clear(); }
