#include "xml/reply_document.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

// Byte-exact printing, so that expected documents can be written as literals
// and mismatches show control bytes.

static void PrintBytes(const std::string& s, std::ostream* os) {
  *os << '"';
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02X", c);
      *os << buf;
    } else {
      *os << static_cast<char>(c);
    }
  }
  *os << '"';
}

static void PrintTo(const _reply_attribute& a, std::ostream* os) {
  PrintBytes(a.name, os);
  *os << '=';
  PrintBytes(a.value, os);
}

static void PrintTo(const _reply_element& e, std::ostream* os) {
  PrintBytes(e.name, os);
  *os << " {";
  for (size_t i = 0; i < e.attributes.size(); ++i) {
    if (i > 0) *os << ", ";
    PrintTo(e.attributes[i], os);
  }
  *os << '}';
}

namespace {

using Elements = std::vector<_reply_element>;

_reply_document ParseOne(const char* text) {
  _reply_document doc;
  EXPECT_EQ(0, parse_reply(doc, text)) << text;
  return doc;
}

// ---------------------------------------------------------------------------
// Message type: decided by the first tag alone.

struct TypeCase {
  const char* label;
  const char* text;
  int type;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.label; }

class MessageTypeTest : public testing::TestWithParam<TypeCase> {};

TEST_P(MessageTypeTest, FirstTagDecides) {
  _reply_document doc;
  doc.msg_type = -7;  // every parse that finds a '<' assigns a type
  EXPECT_EQ(0, parse_reply(doc, GetParam().text));
  EXPECT_EQ(GetParam().type, doc.msg_type);
}

INSTANTIATE_TEST_SUITE_P(
    Reply, MessageTypeTest,
    testing::Values(
        TypeCase{"AckWithAttributes", "<ACK Result=\"success\"/>", REPLY_ACK},
        TypeCase{"LowerCaseAck", "<ack result=\"success\"/>", REPLY_ACK},
        TypeCase{"MixedCaseRpt", "<rPt TotalBytes=\"10\"/>", REPLY_RPT},
        TypeCase{"BytesBeforeFirstTag",
                 "  some words <RPT TotalBytes=\"10\" CompleteBytes=\"5\"/>",
                 REPLY_RPT},
        TypeCase{"AckSpaceAtEnd", "<ACK ", REPLY_ACK},
        TypeCase{"AckSelfClosingBare", "<ACK/>", REPLY_PLAIN},
        TypeCase{"AckThenTab", "<ACK\tResult=\"success\"/>", REPLY_PLAIN},
        TypeCase{"AckThenLineFeed", "<ACK\nResult=\"success\"/>", REPLY_PLAIN},
        TypeCase{"AckThenClose", "<ACK>", REPLY_PLAIN},
        TypeCase{"LongerName", "<ACKS Result=\"success\"/>", REPLY_PLAIN},
        TypeCase{"SpaceBeforeName", "< ACK Result=\"success\"/>", REPLY_PLAIN},
        TypeCase{"ClosingAck", "</ACK >", REPLY_PLAIN},
        TypeCase{"OtherName", "<Reply Result=\"success\"/>", REPLY_PLAIN},
        TypeCase{"DeclarationFirst",
                 "<?xml version=\"1.0\"?><ACK Result=\"success\"/>",
                 REPLY_PLAIN},
        TypeCase{"TextEndsInName", "<AC", REPLY_PLAIN},
        TypeCase{"TextEndsAfterName", "<RPT", REPLY_PLAIN},
        TypeCase{"LoneOpen", "<", REPLY_PLAIN}),
    [](const testing::TestParamInfo<TypeCase>& info) {
      return std::string(info.param.label);
    });

// ---------------------------------------------------------------------------
// Documents built from one text, grouped by the behaviour they show.

struct ParseCase {
  const char* label;
  const char* text;
  Elements elements;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.label; }

std::string CaseName(const testing::TestParamInfo<ParseCase>& info) {
  return info.param.label;
}

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, YieldsElements) {
  _reply_document doc = ParseOne(GetParam().text);
  EXPECT_EQ(GetParam().elements, doc.elements);
}

// Attribute syntax and double quotes.
INSTANTIATE_TEST_SUITE_P(
    Attributes, ParseTest,
    testing::Values(
        ParseCase{"AckResultErrcode",
                  "<ACK Result=\"success\" errcode=\"0\"/>",
                  {{"ACK", {{"Result", "success"}, {"errcode", "0"}}}}},
        ParseCase{"MarkupBytesInsideQuotes",
                  "<a v=\"x<y> = z\"/>",
                  {{"a", {{"v", "x<y> = z"}}}}},
        ParseCase{"SlashInsideQuotesKept",
                  "<a v=\"a/b\"/>",
                  {{"a", {{"v", "a/b"}}}}},
        ParseCase{"ErrorTextWithSlash",
                  "<ACK Result=\"failed\" errtext=\"I/O error\"/>",
                  {{"ACK", {{"Result", "failed"}, {"errtext", "I/O error"}}}}},
        ParseCase{"ClosingTagInsideQuotes",
                  "<a v=\"</b>\"/>",
                  {{"a", {{"v", "</b>"}}}}},
        ParseCase{"SlashOutsideQuotesSkipped",
                  "<a x/y=\"1\"/>",
                  {{"a", {{"xy", "1"}}}}},
        ParseCase{"SlashBetweenAttributesSkipped",
                  "<a x=\"1\"/ y=\"2\">",
                  {{"a", {{"x", "1"}, {"y", "2"}}}}},
        ParseCase{"BackslashesStored",
                  "<a p=\"C:\\dir\\f.txt\"/>",
                  {{"a", {{"p", "C:\\dir\\f.txt"}}}}},
        ParseCase{"SeparatorsInsideQuotesStored",
                  "<a v=\"1 2\t3\n4\"/>",
                  {{"a", {{"v", "1 2\t3\n4"}}}}},
        ParseCase{"TabAndLineFeedSeparate",
                  "<a\tx=\"1\"\ny=\"2\"\tz=\"3\"/>",
                  {{"a", {{"x", "1"}, {"y", "2"}, {"z", "3"}}}}},
        ParseCase{"CarriageReturnDoesNotSeparate",
                  "<a x=\"1\"\ry=\"2\"/>",
                  {{"a", {{"x", "1"}, {"\ry", "2"}}}}},
        ParseCase{"NoSpaceBetweenAttributes",
                  "<a x=\"1\"y=\"2\"/>",
                  {{"a", {{"x", "1"}, {"y", "2"}}}}},
        ParseCase{"EmptyQuotedValue",
                  "<a x=\"\"/>",
                  {{"a", {{"x", ""}}}}},
        ParseCase{"ValuelessBeforeSpace",
                  "<a flag x=\"1\"/>",
                  {{"a", {{"flag", ""}, {"x", "1"}}}}},
        ParseCase{"RepeatedNamesKept",
                  "<a x=\"1\" x=\"2\"/>",
                  {{"a", {{"x", "1"}, {"x", "2"}}}}},
        ParseCase{"SpaceAfterEqualsGivesEmptyValue",
                  "<a k= \"v\"/>",
                  {{"a", {{"k", ""}}}}},
        ParseCase{"StrayValueJoinsNextValue",
                  "<a k =\"v\" m=\"w\"/>",
                  {{"a", {{"k", ""}, {"m", "vw"}}}}},
        ParseCase{"OpenTagDropsStrayValue",
                  "<a k= \"v\"><b m=\"w\"/>",
                  {{"a", {{"k", ""}}}, {"b", {{"m", "w"}}}}},
        ParseCase{"SingleQuotesDoNotQuote",
                  "<a x='1'/><b y=\"2\"/>",
                  {{"a", {}}, {"b", {{"x'1'y", "2"}}}}},
        ParseCase{"EntitiesNotDecoded",
                  "<a n&amp;x=\"&lt;&#47;&quot;\"/>",
                  {{"a", {{"n&amp;x", "&lt;&#47;&quot;"}}}}},
        ParseCase{"HighBytesStored",
                  "<a n\xC3\xA9=\"\xE2\x82\xAC\"/>",
                  {{"a", {{"n\xC3\xA9", "\xE2\x82\xAC"}}}}},
        ParseCase{"QuoteRightAfterTagNameFeedsName",
                  "<a\"b c\"/>",
                  {{"ab c", {}}}}),
    CaseName);

// The spacing around names, '=' and values, in the common and the odd forms.
INSTANTIATE_TEST_SUITE_P(
    Spacing, ParseTest,
    testing::Values(
        ParseCase{"TwoSpacesBetweenAttributes",
                  "<a b=\"1\"  c=\"2\"/>",
                  {{"a", {{"b", "1"}, {"c", "2"}}}}},
        ParseCase{"NoSpaceBetweenAttributes",
                  "<a b=\"1\"c=\"2\"/>",
                  {{"a", {{"b", "1"}, {"c", "2"}}}}},
        ParseCase{"SpaceBeforeEqualsEndsTheName",
                  "<a b = \"1\"/><c/>",
                  {{"a", {{"b", ""}}}, {"c", {}}}},
        ParseCase{"QuotedTagNameThenAttribute",
                  "<\"n\" a=\"1\"/>",
                  {{"n", {{"a", "1"}}}}},
        ParseCase{"SpaceEndsTheNameOfAClosingTag",
                  "<a k=\"v\"></a x=\"1\">",
                  {{"a", {{"k", "v"}}}, {"a", {{"x", "1"}}}}}),
    CaseName);

// Bytes between tags and what the pending name carries over a '>'.
INSTANTIATE_TEST_SUITE_P(
    StrayBytes, ParseTest,
    testing::Values(
        ParseCase{"DeclarationRunsIntoTag",
                  "<?xml version=\"1.0\"?><ACK Result=\"success\"/>",
                  {{"?xml", {{"version", "1.0"}}},
                   {"ACK", {{"?Result", "success"}}}}},
        ParseCase{"DeclarationThenLineFeed",
                  "<?xml version=\"1.0\"?>\n<ACK Result=\"success\"/>",
                  {{"?xml", {{"version", "1.0"}}},
                   {"ACK", {{"?", ""}, {"Result", "success"}}}}},
        ParseCase{"CommentRunsIntoTag",
                  "<!-- note --><a x=\"1\"/>",
                  {{"!--", {{"note", ""}}}, {"a", {{"--x", "1"}}}}},
        ParseCase{"CommentThenLineFeed",
                  "<!-- note -->\n<a x=\"1\"/>",
                  {{"!--", {{"note", ""}}}, {"a", {{"--", ""}, {"x", "1"}}}}},
        ParseCase{"CrLfBetweenTags",
                  "<a x=\"1\"/>\r\n<b y=\"2\"/>",
                  {{"a", {{"x", "1"}}}, {"b", {{"\r", ""}, {"y", "2"}}}}},
        // The name of a ran into "/>", so the carriage return is still
        // stored as tag-name bytes.
        ParseCase{"CrLfAfterBareTag",
                  "<a/>\r\n<b/>",
                  {{"a", {}}, {"\rb", {}}}},
        ParseCase{"ValuelessIntoCloseThenLineFeed",
                  "<a flag>\n<b x=\"1\"/>",
                  {{"a", {}}, {"b", {{"flag", ""}, {"x", "1"}}}}},
        ParseCase{"ValuelessIntoCloseThenTag",
                  "<a flag><b x=\"1\"/>",
                  {{"a", {}}, {"b", {{"flagx", "1"}}}}},
        ParseCase{"TextAfterBareName",
                  "<r>text</r>",
                  {{"r", {}}, {"textr", {}}}},
        // The space after a tag name only ends the name, so the text
        // survives "</r>" and the line feed.
        ParseCase{"TextAfterAttributes",
                  "<r x=\"1\">text</r>\n<s y=\"2\"/>",
                  {{"r", {{"x", "1"}}}, {"r", {}}, {"s", {{"texty", "2"}}}}},
        ParseCase{"SpacedTextBetweenTags",
                  "<a x=\"1\"> junk <b/>",
                  {{"a", {{"x", "1"}}}, {"b", {{"junk", ""}}}}}),
    CaseName);

// Self-closing, closing and nested tags, and the ends of the text.
INSTANTIATE_TEST_SUITE_P(
    Tags, ParseTest,
    testing::Values(
        ParseCase{"SelfClosing", "<a x=\"1\"/>", {{"a", {{"x", "1"}}}}},
        ParseCase{"ClosingTag",
                  "<Reply Result=\"success\"></Reply>",
                  {{"Reply", {{"Result", "success"}}}, {"Reply", {}}}},
        ParseCase{"NestedCompact",
                  "<a><b x=\"1\"/></a>",
                  {{"a", {}}, {"b", {{"x", "1"}}}, {"a", {}}}},
        ParseCase{"NestedIndented",
                  "<a>\n  <b x=\"1\"/>\n</a>\n",
                  {{"a", {}}, {"b", {{"x", "1"}}}, {"a", {}}}},
        ParseCase{"ListOfEntries",
                  "<list n=\"2\">\n\t<dir Name=\"x\"/>\n\t<dir Name=\"y\"/>\n"
                  "</list>",
                  {{"list", {{"n", "2"}}},
                   {"dir", {{"Name", "x"}}},
                   {"dir", {{"Name", "y"}}},
                   {"list", {}}}},
        ParseCase{"Comment", "<!-- note -->", {{"!--", {{"note", ""}}}}},
        ParseCase{"Declaration",
                  "<?xml version=\"1.0\"?>",
                  {{"?xml", {{"version", "1.0"}}}}},
        ParseCase{"EmptyName", "<>", {{"", {}}}},
        ParseCase{"DoubleClose", "<a>>", {{"a", {}}, {"", {}}}},
        ParseCase{"LoneOpen", "<", {}},
        ParseCase{"EndsInsideTag",
                  "<a x=\"1\"/><b y=\"2\"",
                  {{"a", {{"x", "1"}}}}},
        ParseCase{"EndsInsideQuotes",
                  "<a x=\"1\"/><b y=\"2/>",
                  {{"a", {{"x", "1"}}}}},
        ParseCase{"EndsInName", "<a x=\"1\"/><b", {{"a", {{"x", "1"}}}}}),
    CaseName);

// ---------------------------------------------------------------------------
// Results, and the texts that leave the document alone.

struct ResultCase {
  const char* label;
  const char* text;
  int result;
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.label; }

class UnchangedTest : public testing::TestWithParam<ResultCase> {};

TEST_P(UnchangedTest, DocumentKeepsTypeAndElements) {
  _reply_document doc;
  ASSERT_EQ(0, parse_reply(doc, "<RPT TotalBytes=\"10\"/>"));
  const _reply_document before = doc;

  EXPECT_EQ(GetParam().result, parse_reply(doc, GetParam().text));
  EXPECT_EQ(REPLY_RPT, doc.msg_type);
  EXPECT_EQ(before.elements, doc.elements);
}

INSTANTIATE_TEST_SUITE_P(
    Reply, UnchangedTest,
    testing::Values(ResultCase{"NullText", nullptr, -1},
                    ResultCase{"EmptyText", "", -1},
                    ResultCase{"NoTag", "ACK Result=\"success\"/>", 1},
                    ResultCase{"OnlySpaces", "  \r\n", 1}),
    [](const testing::TestParamInfo<ResultCase>& info) {
      return std::string(info.param.label);
    });

TEST(ParseResultTest, AnyOpenBracketGivesZero) {
  for (const char* text : {"<", "x<", "<a", "junk <a x=\"1", "a>b<"}) {
    _reply_document doc;
    EXPECT_EQ(0, parse_reply(doc, text)) << text;
  }
}

// ---------------------------------------------------------------------------
// find_attribute.

TEST(FindAttributeTest, IgnoresAsciiCase) {
  _reply_document doc = ParseOne("<ack result=\"success\"/>");
  const _reply_attribute* found = find_attribute(doc, "Result");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("success", found->value);
  EXPECT_EQ(found, find_attribute(doc, "RESULT"));
  EXPECT_EQ(found, find_attribute(doc, "result"));
}

TEST(FindAttributeTest, FirstMatchInDocumentOrder) {
  _reply_document doc = ParseOne("<a y=\"0\"/><b X=\"2\" x=\"3\"/><c x=\"4\"/>");
  const _reply_attribute* found = find_attribute(doc, "x");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(&doc.elements[1].attributes[0], found);
  EXPECT_EQ("2", found->value);
}

TEST(FindAttributeTest, ElementNamesPlayNoPart) {
  _reply_document doc = ParseOne("<Result x=\"1\"/><dir Name=\"a\"/>");
  EXPECT_EQ(nullptr, find_attribute(doc, "Result"));
  EXPECT_EQ(nullptr, find_attribute(doc, "dir"));
}

TEST(FindAttributeTest, WholeNameMustMatch) {
  _reply_document doc =
      ParseOne("<a Results=\"1\" Res=\"2\"/>\r<b Result=\"3\"/>");
  // The carriage return heads the name "\rResult".
  ASSERT_EQ(1u, doc.elements[1].attributes.size());
  EXPECT_EQ("\rResult", doc.elements[1].attributes[0].name);
  EXPECT_EQ(nullptr, find_attribute(doc, "Result"));
  EXPECT_EQ(nullptr, find_attribute(doc, ""));
}

TEST(FindAttributeTest, StrayBytesBeforeTag) {
  const char* joined = "<?xml version=\"1.0\"?><ACK Result=\"success\"/>";
  EXPECT_EQ(nullptr, find_attribute(ParseOne(joined), "Result"));

  const char* separated = "<?xml version=\"1.0\"?>\n<ACK Result=\"success\"/>";
  _reply_document doc = ParseOne(separated);
  const _reply_attribute* found = find_attribute(doc, "Result");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("success", found->value);

  // A carriage-return attribute does not hide the one after it.
  doc = ParseOne("<a x=\"1\"/>\r\n<b Result=\"ok\"/>");
  found = find_attribute(doc, "Result");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("ok", found->value);
}

TEST(FindAttributeTest, OnlyAsciiLettersFold) {
  _reply_document doc = ParseOne("<a \xC9t\xC9=\"1\" k@[=\"2\"/>");
  EXPECT_NE(nullptr, find_attribute(doc, "\xC9T\xC9"));
  EXPECT_EQ(nullptr, find_attribute(doc, "\xE9t\xE9"));  // Latin-1 lower case
  EXPECT_NE(nullptr, find_attribute(doc, "K@["));
  EXPECT_EQ(nullptr, find_attribute(doc, "k`{"));  // '@'/'[' + 0x20
}

TEST(FindAttributeTest, EmptyDocumentOrNullName) {
  _reply_document doc;
  EXPECT_EQ(nullptr, find_attribute(doc, "Result"));
  doc = ParseOne("<a Result=\"1\"/>");
  EXPECT_EQ(nullptr, find_attribute(doc, nullptr));
}

// ---------------------------------------------------------------------------
// Several texts into one document.

TEST(ReplyDocumentTest, NewDocumentIsEmptyAndPlain) {
  _reply_document doc;
  EXPECT_EQ(REPLY_PLAIN, doc.msg_type);
  EXPECT_TRUE(doc.elements.empty());
}

TEST(ReplyDocumentTest, SecondTextAppends) {
  _reply_document doc;
  ASSERT_EQ(0, parse_reply(doc, "<RPT CompleteBytes=\"5\"/>"));
  ASSERT_EQ(0, parse_reply(doc, "<ACK CompleteBytes=\"10\" Result=\"ok\"/>"));

  Elements expected = {{"RPT", {{"CompleteBytes", "5"}}},
                       {"ACK", {{"CompleteBytes", "10"}, {"Result", "ok"}}}};
  EXPECT_EQ(expected, doc.elements);
  EXPECT_EQ(REPLY_ACK, doc.msg_type);  // from the last text
  const _reply_attribute* found = find_attribute(doc, "CompleteBytes");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("5", found->value);
}

TEST(ReplyDocumentTest, ScanStateEndsWithEachText) {
  _reply_document doc;
  // Pending name, open tag and open quote are all dropped at the NUL.
  ASSERT_EQ(0, parse_reply(doc, "<a flag><b x=\"1"));
  ASSERT_EQ(0, parse_reply(doc, "\"/><c y=\"2\"/>"));
  Elements expected = {{"a", {}}, {"c", {{"y", "2"}}}};
  EXPECT_EQ(expected, doc.elements);
}

TEST(ReplyDocumentTest, ClearKeepsMessageType) {
  _reply_document doc;
  ASSERT_EQ(0, parse_reply(doc, "<RPT TotalBytes=\"10\"/>"));
  clear_reply(doc);
  EXPECT_TRUE(doc.elements.empty());
  EXPECT_EQ(REPLY_RPT, doc.msg_type);
  EXPECT_EQ(nullptr, find_attribute(doc, "TotalBytes"));

  ASSERT_EQ(0, parse_reply(doc, "<ACK Result=\"ok\"/>"));
  Elements expected = {{"ACK", {{"Result", "ok"}}}};
  EXPECT_EQ(expected, doc.elements);
  EXPECT_EQ(REPLY_ACK, doc.msg_type);
}

}  // namespace
