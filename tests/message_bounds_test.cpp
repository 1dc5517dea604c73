#include "protocol/message_bounds.h"

#include <gtest/gtest.h>

#include <string>

using message_bounds::ends_inside_tag;
using message_bounds::joined_request_start;

TEST(MessageBoundsTest, OnlyAnOpenLastTagEndsInsideATag) {
  struct Case {
    const char* bytes;
    bool inside;
  } cases[] = {
      {"", false},
      {"no tag", false},
      {"<ACK Result=\"success\"/>", false},
      {"<RPT TotalBytes=\"1\" CompleteBytes=\"0\">", false},
      // Quotes are not counted: an odd number of them reads at once.
      {"<ACK Result=\"success\" errtext=\"a\"b\"/>", false},
      {"<ACK errtext=\"x>", false},
      {"<ACK Result=\"success\"/><!-- note -->", false},
      {"<ACK Result=\"success\"/><x", true},
      {"<ACK Result=\"success\"/><!-- note", true},
      {"<ACK Result=\"success\" errtext=\"ab", true},
      {"<", true},
  };
  for (const Case& c : cases) EXPECT_EQ(ends_inside_tag(c.bytes), c.inside) << c.bytes;
}

TEST(MessageBoundsTest, JoinedRequestsAreCutBeforeARequestElement) {
  struct Case {
    std::string bytes;
    std::size_t start;
  } cases[] = {
      {"<AddDir PathName=\"a\" ClientID=\"1\" />", std::string::npos},
      {"<AddDir PathName=\"a\" ClientID=\"1\" /><addfile PathName=\"b\"/>", 36},
      {"<logout ClientID=\"1\"/>\r\n<LOGIN User=\"u\"/>", 24},
      // A value holding one '"', or a tag-like text, is no second request.
      {"<AddDir PathName=\"a\"b\" ClientID=\"1\" />", std::string::npos},
      {"<AddDir PathName=\"a><x\" ClientID=\"1\" />", std::string::npos},
      {"<AddDir PathName=\"a\"/><AddDirectory/>", std::string::npos},
  };
  for (const Case& c : cases) {
    const std::size_t expected = c.start == std::string::npos ? c.bytes.size() : c.start;
    EXPECT_EQ(joined_request_start(c.bytes), expected) << c.bytes;
  }
}

TEST(MessageBoundsTest, AFinalReplyJoinedAfterAClosedReportIsFound) {
  struct Case {
    std::string bytes;
    std::size_t start;
  } cases[] = {
      {"<RPT TotalBytes=\"9\" CompleteBytes=\"9\"/><ACK Result=\"success\"/>", 39},
      {"<RPT Result=\"success\"><file/></RPT>\r\n<ack Result=\"success\"/>", 37},
      // An ACK nested in an open report is part of it.
      {"<RPT Result=\"success\"><ACK Result=\"success\"/>", std::string::npos},
      {"<RPT TotalBytes=\"9\" CompleteBytes=\"9\"/><x Note=\"1\"/>", std::string::npos},
      {"<RPT TotalBytes=\"9\"/><ACKS/>", std::string::npos},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message_bounds::joined_final_start(c.bytes), c.start) << c.bytes;
  }
}
