#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <random>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/framing_property.h"

namespace {

using Messages = std::vector<std::string>;

// Feeds `chunks`, each ending a receive after a gap longer than the grace
// wait; returns every message taken, white space around each trimmed.
Messages frame(const std::vector<std::string>& chunks,
               CMessageFramer::Heads heads = CMessageFramer::kReplyHeads) {
  CMessageFramer framer(heads);
  Messages out;
  for (const std::string& chunk : chunks) {
    framer.append(chunk.data(), chunk.size());
    for (;;) {
      CMessageFramer::Status status = framer.next(CMessageFramer::kReceiveEnded);
      if (status == CMessageFramer::kNeedMore && framer.wants_grace()) {
        status = framer.next(CMessageFramer::kWaitedInVain);
      }
      if (status != CMessageFramer::kMessage) break;
      EXPECT_EQ(std::strlen(framer.message()), framer.message_size());
      out.push_back(trimmed(std::string(framer.message(), framer.message_size())));
    }
  }
  EXPECT_EQ(framer.pending(), 0u);
  return out;
}

// Whole messages that hold what a head might: entries carrying Result,
// entries named ACK, status elements nested at any depth, a report with a
// nested element. Each is one message, alone or joined with the others.
TEST(MessageFramer, WholeMessagesAreNeverCutInside) {
  const Messages messages = {
      "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"a\" Result=\"success\"/>"
      "<ACK ParentDir=\"\\\" Name=\"b\"/></RPT>",
      "<RPT Result=\"success\"><Status Result=\"success\"/><file ParentDir=\"\\\" Name=\"c\"/></RPT>",
      "<RPT TotalBytes=\"9\" CompleteBytes=\"3\"><x Result=\"failed\"/></RPT>",
      "<RPT Result=\"success\"/><dir ParentDir=\"\\\" Name=\"d\" Result=\"success\"/>",
      "<Reply><Status Result=\"success\"/><e errtext=\"nested\"/></Reply>",
  };
  for (const std::string& m : messages) EXPECT_EQ(frame({m}), Messages{m});
  std::string joined;
  for (const std::string& m : messages) joined += m;
  EXPECT_EQ(frame({joined}), messages);
}

// Joined messages are cut where the next certainly begins.
TEST(MessageFramer, JoinedMessagesAreCutAtTheNextHead) {
  struct Case {
    std::string stream;
    Messages want;
  };
  const Case cases[] = {
      // RPT or ACK, also after a head that never closed
      {"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"a\"/><rpt Result=\"success\">"
       "<ack Result=\"success\"/>",
       {"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"a\"/>", "<rpt Result=\"success\">",
        "<ack Result=\"success\"/>"}},
      // any other tag once every element has closed, Result nested or not
      {"<RPT TotalBytes=\"9\" CompleteBytes=\"9\"/><Reply><Status Result=\"success\"/></Reply>",
       {"<RPT TotalBytes=\"9\" CompleteBytes=\"9\"/>", "<Reply><Status Result=\"success\"/></Reply>"}},
      {"<RPT Result=\"success\"></RPT>\n<?xml version=\"1.0\"?><Reply Result=\"success\"/>",
       {"<RPT Result=\"success\"></RPT>", "<?xml version=\"1.0\"?><Reply Result=\"success\"/>"}},
      // never inside quotes or comments
      {"<RPT a=\"<ACK Result=x>\"/><!-- <ACK Result=\"x\"/> --><ACK Result=\"success\"/>",
       {"<RPT a=\"<ACK Result=x>\"/><!-- <ACK Result=\"x\"/> -->", "<ACK Result=\"success\"/>"}},
      // a declaration or comment first is prologue: the tag after it is the head
      {"<!-- n --><file Result=\"success\"/>", {"<!-- n --><file Result=\"success\"/>"}},
  };
  for (const Case& c : cases) EXPECT_EQ(frame({c.stream}), c.want) << c.stream;
}

// Where the bytes of a receive end decides what waits and how long.
TEST(MessageFramer, WhereTheBytesEndDecidesTheWait) {
  enum Ends { kNow, kHeld, kAfterGrace, kNever };
  struct Case {
    const char* text;
    Ends ends;
  };
  const Case cases[] = {
      {"<ACK Result=\"success\"/>", kNow},
      {"<ACK Result=\"success\"/><file ParentDir=\"\\\" Name=\"x\"/>\r\n", kNow},
      {"<RPT a=\"1\"><x/></rpt >", kNow},
      {"<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"x\"/>", kHeld},  // an open report
      {"<?xml version=\"1.0\"?>\n<ACK Result=\"success\"/>", kNow},
      {"<ACK Result=\"success\">it\"s</ACK>", kNow},                // a quote in text
      {"<ACK Result=\"success\" ClientID=\"C2\">\r\n", kAfterGrace},  // a final left open
      {"<RPT>", kAfterGrace},                                        // not "<RPT "
      {"no tag at all", kAfterGrace},
      {"<ACK Result=\"success\" ClientID=\"C3\"", kNever},  // inside a tag
      {"<ACK Result=\"succ", kNever},                       // inside quotes
      {"<ACK Result=\"success\"/><!-- note", kNever},       // inside a comment
      {"<ACK Result=\"success\"/><fi", kNever},             // a next tag cut
  };
  for (const Case& c : cases) {
    CMessageFramer framer;
    framer.append(c.text, std::strlen(c.text));
    EXPECT_EQ(framer.next(CMessageFramer::kMoreWaiting), CMessageFramer::kNeedMore) << c.text;
    const bool now = framer.next(CMessageFramer::kReceiveEnded) == CMessageFramer::kMessage;
    EXPECT_EQ(now, c.ends == kNow) << c.text;
    if (now) continue;
    EXPECT_EQ(framer.wants_grace(), c.ends == kAfterGrace) << c.text;
    if (c.ends == kHeld) continue;  // the bytes that come next decide
    EXPECT_EQ(framer.next(CMessageFramer::kWaitedInVain) == CMessageFramer::kMessage,
              c.ends == kAfterGrace)
        << c.text;
    if (c.ends == kAfterGrace) {
      EXPECT_EQ(std::string(framer.message()), c.text);
    }
  }
}

// An open report ends where its receive ended unless the next bytes prove
// it goes on: an end tag or an entry first, past blanks and comments.
TEST(MessageFramer, AnOpenReportGoesOnOnlyWhenItsRestProvesIt) {
  const std::string report = "<RPT Result=\"success\"><file ParentDir=\"\\\" Name=\"1\"/>";
  struct Case {
    std::string rest;
    bool goes_on;
  };
  const Case cases[] = {
      {"\n<!-- c --><file ParentDir=\"\\\" Name=\"2\"/></RPT>", true},
      {"</RPT>", true},
      {"<ACK ParentDir=\"\\\" Name=\"3\" Result=\"success\"/></RPT>", true},
      {"<Reply Result=\"success\"/>", false},
      {"<Status Result=\"success\"/></RPT>", false},  // best effort: no proof
      {"<?xml version=\"1.0\"?><Reply Result=\"success\"/>", false},
      {"junk<a/>", false},
  };
  for (const Case& c : cases) {
    const Messages want =
        c.goes_on ? Messages{report + c.rest} : Messages{report, trimmed(c.rest)};
    EXPECT_EQ(frame({report, c.rest}), want) << c.rest;
  }
}

TEST(MessageFramer, RequestsEndWhereTheNextStartTagBeginsOnceClosed) {
  EXPECT_EQ(frame({"<a x=\"1\"/><b/><c><d/></c >\n<e/>"}, CMessageFramer::kRequestHeads),
            (Messages{"<a x=\"1\"/>", "<b/>", "<c><d/></c >", "<e/>"}));
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

TEST(MessageFramer, RandomRepliesReadAsSentHoweverDelivered) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> driving(256);
    for (std::uint8_t& b : driving) b = static_cast<std::uint8_t>(random());
    ByteSource bytes(driving.data(), driving.size());
    const Messages messages = make_reply_messages(bytes);
    Messages want;
    std::string all;
    for (const std::string& m : messages) {
      want.push_back(trimmed(m));
      all += m;
    }
    ASSERT_EQ(frame_delivery(messages, bytes), want) << all;
    ASSERT_TRUE(drip_fed_reading_sound(messages, bytes)) << all;
  }
}

}  // namespace
