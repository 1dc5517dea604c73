// Fuzzes the reply parser with any bytes and checks its invariants:
// attribute names are never empty, find_attribute returns the first match in
// document order, a parse that returns -1 or 1 changes nothing, and the
// result equals that of the plain byte-by-byte reference parser.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/reference_parser.h"
#include "util/ascii.h"
#include "xml/reply_document.h"

namespace {

const _reply_attribute* slow_find(const _reply_document& doc, const std::string& name) {
  for (const _reply_element& e : doc.elements) {
    for (const _reply_attribute& a : e.attributes) {
      if (ascii_iequals(a.name, name)) return &a;
    }
  }
  return nullptr;
}

// Whether two documents hold the same type, elements and attributes; the
// second may be the production document or the reference parser's.
template <typename Document>
bool same(const _reply_document& a, const Document& b) {
  if (a.msg_type != b.msg_type || a.elements.size() != b.elements.size()) return false;
  for (std::size_t i = 0; i < a.elements.size(); ++i) {
    const auto& x = a.elements[i];
    const auto& y = b.elements[i];
    if (x.name != y.name || x.attributes.size() != y.attributes.size()) return false;
    for (std::size_t j = 0; j < x.attributes.size(); ++j) {
      if (x.attributes[j].name != y.attributes[j].name ||
          x.attributes[j].value != y.attributes[j].value) {
        return false;
      }
    }
  }
  return true;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first NUL splits the input into two texts parsed one after the other,
  // so appending to a non-empty document is exercised too.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string first = input.substr(0, nul);
  // The parser reads up to the next NUL; the rest is never seen.
  const std::string second =
      nul == std::string::npos ? std::string() : std::string(input.c_str() + nul + 1);

  // The texts are parsed twice into one document, cleared in between, so
  // the second pass runs on recycled elements and strings as a connection's
  // document does.
  _reply_document doc;
  for (int pass = 0; pass < 2; ++pass) {
    clear_reply(doc);
    reference::Document expected;
    for (const std::string* text : {&first, &second}) {
      const _reply_document before = doc;
      const int result = parse_reply(doc, text->c_str());
      check(result == reference::parse_reply(expected, text->c_str()));
      if (result != 0) check(same(before, doc));
      check(result == (text->empty() ? -1 : text->find('<') == std::string::npos ? 1 : 0));
      if (pass == 0 || result == 0) check(same(doc, expected));
    }
  }
  // Lookups are checked for the first attributes only: checking them all
  // would make each input quadratic.
  std::size_t looked_up = 0;
  for (const _reply_element& e : doc.elements) {
    for (const _reply_attribute& a : e.attributes) {
      check(!a.name.empty());
      if (++looked_up <= 64) check(find_attribute(doc, a.name.c_str()) == slow_find(doc, a.name));
    }
  }
  for (const char* name : {"Result", "ClientID", "ParentDir", "Name", "x"}) {
    check(find_attribute(doc, name) == slow_find(doc, name));
  }
  clear_reply(doc);
  check(doc.elements.empty());
  return 0;
}
