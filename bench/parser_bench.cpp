// The reply parser against pugixml, expat and tinyxml2 on generated
// listing messages, progress reports and file-information replies. Each
// side parses every message and walks every attribute.
#include <expat.h>
#include <pugixml.hpp>
#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_util.h"
#include "bench/corpus.h"
#include "xml/reply_document.h"

namespace {

volatile std::size_t g_sink = 0;  // keeps the walks from being optimised away

std::size_t total_bytes(const std::vector<std::string>& corpus) {
  std::size_t n = 0;
  for (const std::string& m : corpus) n += m.size();
  return n;
}

void ours(const std::vector<std::string>& corpus) {
  static _reply_document doc;  // one document per connection, reused
  std::size_t sum = 0;
  for (const std::string& m : corpus) {
    clear_reply(doc);
    parse_reply(doc, m.c_str());
    for (const _reply_element& e : doc.elements) {
      for (const _reply_attribute& a : e.attributes) sum += a.name.size() + a.value.size();
    }
  }
  g_sink = g_sink + sum;
}

void pugi_walk(const std::vector<std::string>& corpus) {
  pugi::xml_document doc;
  std::size_t sum = 0;
  for (const std::string& m : corpus) {
    doc.load_buffer(m.data(), m.size(), pugi::parse_minimal);
    for (pugi::xml_node top = doc.first_child(); top; top = top.next_sibling()) {
      for (pugi::xml_attribute a = top.first_attribute(); a; a = a.next_attribute()) {
        sum += std::char_traits<char>::length(a.name()) + std::char_traits<char>::length(a.value());
      }
      for (pugi::xml_node e = top.first_child(); e; e = e.next_sibling()) {
        for (pugi::xml_attribute a = e.first_attribute(); a; a = a.next_attribute()) {
          sum += std::char_traits<char>::length(a.name()) +
                 std::char_traits<char>::length(a.value());
        }
      }
    }
  }
  g_sink = g_sink + sum;
}

struct ExpatPairs {
  std::vector<std::pair<std::string, std::string>> pairs;
};

void XMLCALL on_start(void* data, const XML_Char*, const XML_Char** atts) {
  auto* out = static_cast<ExpatPairs*>(data);
  for (int i = 0; atts[i] != nullptr; i += 2) out->pairs.emplace_back(atts[i], atts[i + 1]);
}

void expat_walk(const std::vector<std::string>& corpus) {
  static XML_Parser parser = XML_ParserCreate("UTF-8");
  static ExpatPairs out;
  std::size_t sum = 0;
  for (const std::string& m : corpus) {
    XML_ParserReset(parser, "UTF-8");
    XML_SetUserData(parser, &out);
    XML_SetStartElementHandler(parser, on_start);
    out.pairs.clear();
    XML_Parse(parser, m.data(), static_cast<int>(m.size()), 1);
    for (const auto& p : out.pairs) sum += p.first.size() + p.second.size();
  }
  g_sink = g_sink + sum;
}

void tinyxml_walk(const std::vector<std::string>& corpus) {
  tinyxml2::XMLDocument doc;
  std::size_t sum = 0;
  for (const std::string& m : corpus) {
    doc.Parse(m.data(), m.size());
    for (const tinyxml2::XMLElement* top = doc.FirstChildElement(); top;
         top = top->NextSiblingElement()) {
      for (const tinyxml2::XMLAttribute* a = top->FirstAttribute(); a; a = a->Next()) {
        sum += std::char_traits<char>::length(a->Name()) + std::char_traits<char>::length(a->Value());
      }
      for (const tinyxml2::XMLElement* e = top->FirstChildElement(); e; e = e->NextSiblingElement()) {
        for (const tinyxml2::XMLAttribute* a = e->FirstAttribute(); a; a = a->Next()) {
          sum += std::char_traits<char>::length(a->Name()) +
                 std::char_traits<char>::length(a->Value());
        }
      }
    }
  }
  g_sink = g_sink + sum;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
  struct Corpus {
    const char* name;
    std::vector<std::string> messages;
    int repeat;
  };
  const Corpus corpora[] = {
      {"listing messages", bench::listing_messages(256), 8},
      {"progress reports", bench::progress_reports(20000), 4},
      {"file-information replies", bench::file_info_replies(20000), 2},
  };
  for (const Corpus& c : corpora) {
    const double megabytes = total_bytes(c.messages) * c.repeat / 1e6;
    auto run = [&c](void (*walk)(const std::vector<std::string>&)) {
      return [&c, walk] {
        for (int i = 0; i < c.repeat; ++i) walk(c.messages);
      };
    };
    ours(c.messages);  // warm up the reused document
    bench::row(std::string("parser, ") + c.name + " vs pugixml",
               bench::compare(rounds, megabytes, run(ours), run(pugi_walk)), "MB/s");
    bench::row(std::string("parser, ") + c.name + " vs expat",
               bench::compare(rounds, megabytes, run(ours), run(expat_walk)), "MB/s");
    bench::row(std::string("parser, ") + c.name + " vs tinyxml2",
               bench::compare(rounds, megabytes, run(ours), run(tinyxml_walk)), "MB/s");
  }
  return 0;
}
