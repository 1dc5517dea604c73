#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <random>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/framing_property.h"

namespace {

using Messages = std::vector<std::string>;

// White space around a message is read the same on either side of it.
Messages trimmed(const Messages& messages) {
  Messages out;
  for (const std::string& m : messages) out.push_back(::trimmed(m));
  return out;
}

// Feeds `chunks` one by one, each arriving after a pause shorter than the
// reader's wait: after each, takes every message the framer gives with
// nothing waiting; after the last, the wait runs out too.
Messages frame(const std::vector<std::string>& chunks,
               CMessageFramer::Heads heads = CMessageFramer::kReplyHeads) {
  CMessageFramer framer(heads);
  Messages out;
  auto take_all = [&](CMessageFramer::Transport transport) {
    while (framer.next(transport) == CMessageFramer::kMessage) {
      out.emplace_back(framer.message(), framer.message_size());
      EXPECT_EQ(std::strlen(framer.message()), framer.message_size());
    }
  };
  for (const std::string& chunk : chunks) {
    framer.append(chunk.data(), chunk.size());
    take_all(CMessageFramer::kNothingWaiting);
  }
  take_all(CMessageFramer::kWaitedInVain);
  EXPECT_EQ(framer.pending(), 0u);
  return out;
}

std::string join(const Messages& messages) {
  std::string all;
  for (const std::string& m : messages) all += m;
  return all;
}

// Replies a conforming service may send, heads by name or by a Result
// attribute, white space between them. Each ends where its head closes, so
// any pause inside one leaves it open.
const Messages kReplies = {
    "<RPT TotalBytes=\"10\" CompleteBytes=\"5\"/>",
    "\r\n<RPT Result=\"success\"><file ParentDir=\"\\a\\\" Name=\"b\"/></RPT>",
    "<rpt Result=\"success\"><file Name=\"1\"/><file Name=\"2\"/></rpt>",
    "\n<Reply Result=\"failed\" errcode=\"17\"/>",
    "<ACK Result=\"success\"><dir Name=\"c\"/></ACK>",
    "<ACK Result=\"success\" ClientID=\"7\"/>",
};

// Entries may also follow a closed head; such a message is read whole when
// it arrives in one receive, alone or joined to others.
const Messages kEntriesAfterTheHead = {
    "<RPT TotalBytes=\"10\" CompleteBytes=\"5\"/><x Note=\"1\"/>",
    "<rpt Result=\"success\"/><file Name=\"1\"/><file Name=\"2\"/>\r\n",
    "<ACK Result=\"success\"><dir Name=\"c\"/></ACK><dir Name=\"d\"/>",
};

TEST(MessageFramer, JoinedOrSplitAtAnyByteReadAsSentOneByOne) {
  const Messages want = trimmed(kReplies);
  EXPECT_EQ(trimmed(frame(kReplies)), want);
  const std::string stream = join(kReplies);
  EXPECT_EQ(trimmed(frame({stream})), want);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(trimmed(frame({stream.substr(0, cut), stream.substr(cut)})), want)
        << "cut at " << cut;
  }
  EXPECT_EQ(frame(kEntriesAfterTheHead), kEntriesAfterTheHead);
  EXPECT_EQ(frame({join(kEntriesAfterTheHead)}), kEntriesAfterTheHead);
}

TEST(MessageFramer, OnlyAClosedMessageEndsWithoutAWait) {
  struct Case {
    const char* text;
    bool closed;
  };
  const Case cases[] = {
      {"<ACK Result=\"success\"/>", true},
      {"<ACK Result=\"success\"/><file Name=\"x\"/>\r\n", true},
      {"<RPT a=\"1\"><x/></rpt >", true},
      {"<?xml version=\"1.0\"?>\n<ACK Result=\"success\"/>", true},
      {"<ACK Result=\"success\" ClientID=\"C2\">\r\n", false},  // head open
      {"<RPT a=\"1\"></RPTX>", false},                         // not its end tag
      {"<ACK Result=\"success\" ClientID=\"C3\"", false},       // inside a tag
      {"<ACK Result=\"succ", false},                            // inside quotes
      {"<ACK Result=\"success\"/><!-- note", false},            // inside a comment
      {"no tag at all", false},
  };
  for (const Case& c : cases) {
    CMessageFramer framer;
    framer.append(c.text, std::strlen(c.text));
    EXPECT_EQ(framer.next(CMessageFramer::kMoreWaiting), CMessageFramer::kNeedMore) << c.text;
    EXPECT_EQ(framer.next(CMessageFramer::kNothingWaiting) == CMessageFramer::kMessage, c.closed)
        << c.text;
    if (!c.closed) {
      EXPECT_TRUE(framer.needs_wait());
      ASSERT_EQ(framer.next(CMessageFramer::kWaitedInVain), CMessageFramer::kMessage);
    }
    EXPECT_EQ(std::string(framer.message()), c.text);
  }
}

TEST(MessageFramer, NoHeadInsideQuotesCommentsOrAfterAPrologue) {
  EXPECT_EQ(frame({"<RPT a=\"<ACK Result=x>\"/><!-- <ACK Result=\"x\"/> --><f/>"
                   "<ACK Result=\"success\"/>"}),
            (Messages{"<RPT a=\"<ACK Result=x>\"/><!-- <ACK Result=\"x\"/> --><f/>",
                      "<ACK Result=\"success\"/>"}));
  // A declaration or comment first is prologue: the tag after it is the head.
  EXPECT_EQ(frame({"<!-- n --><file Result=\"success\"/><file Name=\"a\"/>"}),
            Messages{"<!-- n --><file Result=\"success\"/><file Name=\"a\"/>"});
  // A Result written apart from its value, or as part of a longer name.
  EXPECT_EQ(frame({"<a/><b Result = \"x\"/><c xResult=\"y\"/>"}),
            (Messages{"<a/>", "<b Result = \"x\"/><c xResult=\"y\"/>"}));
}

TEST(MessageFramer, RequestsEndWhereTheNextStartTagBeginsOnceClosed) {
  EXPECT_EQ(frame({"<a x=\"1\"/><b/><c><d/></c >\n<e/>"}, CMessageFramer::kRequestHeads),
            (Messages{"<a x=\"1\"/>", "<b/>", "<c><d/></c >\n", "<e/>"}));
}

TEST(MessageFramer, RefusesAMessageThatOutgrowsTheBound) {
  CMessageFramer framer;
  const std::string chunk(4096, 'x');
  framer.append("<RPT a=\"", 8);
  CMessageFramer::Status status = CMessageFramer::kNeedMore;
  for (int i = 0; i < 300 && status == CMessageFramer::kNeedMore; ++i) {
    framer.append(chunk.data(), chunk.size());
    status = framer.next(CMessageFramer::kMoreWaiting);
  }
  EXPECT_EQ(status, CMessageFramer::kTooLarge);
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(MessageFramer, RandomRepliesCutAnywhereReadAsSent) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> driving(256);
    for (std::uint8_t& b : driving) b = static_cast<std::uint8_t>(random());
    ByteSource bytes(driving.data(), driving.size());
    const Messages messages = make_reply_messages(bytes);
    ASSERT_EQ(frame_with_cuts(messages, bytes), trimmed(messages)) << join(messages);
  }
}

}  // namespace
