#include "protocol/message_framer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds `chunks` one by one; after each, takes every message available, with
// `more_waiting` true except after the last chunk.
std::vector<std::string> frame(const std::vector<std::string>& chunks, CMessageFramer& framer) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    framer.append(chunks[i].data(), chunks[i].size());
    const bool last = i + 1 == chunks.size();
    while (framer.next(!last) == CMessageFramer::kMessage) {
      out.emplace_back(framer.message(), framer.message_size());
      EXPECT_EQ(std::string(framer.message()).size(), framer.message_size());
    }
  }
  return out;
}

std::vector<std::string> frame(const std::vector<std::string>& chunks) {
  CMessageFramer framer;
  return frame(chunks, framer);
}

const char kAck[] = "<ACK Result=\"success\" ClientID=\"7\"/>";
const char kRpt[] = "<RPT Result=\"success\"><file ParentDir=\"\\a\\\" Name=\"b\"/></RPT>";
const char kReport[] = "<RPT TotalBytes=\"10\" CompleteBytes=\"5\"/>";

TEST(MessageFramer, MessagesAloneJoinedAndSplitAtEveryByte) {
  const std::string stream = std::string(kReport) + kRpt + kAck;
  const std::vector<std::string> want = {kReport, kRpt, kAck};
  EXPECT_EQ(frame({kReport, kRpt, kAck}), want);
  EXPECT_EQ(frame({stream}), want);
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(frame({stream.substr(0, cut), stream.substr(cut)}), want) << "cut at " << cut;
  }
}

TEST(MessageFramer, EndTagMatchesInAnyCaseAndOutsideQuotesOnly) {
  EXPECT_EQ(frame({"<Reply a=\"</Reply>\"><x/></reply >tail", "<ACK/>"}),
            (std::vector<std::string>{"<Reply a=\"</Reply>\"><x/></reply >", "tail<ACK/>"}));
  // A tag that merely starts with the name is not the end tag.
  CMessageFramer framer;
  EXPECT_EQ(frame({"<RPT a=\"1\"></RPTX>"}, framer),
            std::vector<std::string>{"<RPT a=\"1\"></RPTX>"});  // by the fallback
}

TEST(MessageFramer, FallbackTakesWhatEndsAfterATagWhenNothingWaits) {
  CMessageFramer framer;
  const std::string text = "<ACK Result=\"success\"><x/>";  // no end tag
  framer.append(text.data(), text.size());
  EXPECT_EQ(framer.next(true), CMessageFramer::kNeedMore);
  ASSERT_EQ(framer.next(false), CMessageFramer::kMessage);
  EXPECT_EQ(std::string(framer.message()), text);

  // Text without any '<' is one message too (white space only, say).
  EXPECT_EQ(frame({"   \n"}), std::vector<std::string>{"   \n"});
}

TEST(MessageFramer, ADeclarationOrCommentFirstIsPrologue) {
  const std::string declared = "<?xml version=\"1.0\"?>\n<ACK Result=\"success\"/>";
  const std::string commented = "<!-- note --><RPT a=\"1\"><x/></RPT>";
  const std::string stream = declared + commented;
  CMessageFramer framer;
  framer.append(stream.data(), stream.size());
  // Both complete by their own end, with no need for the fallback.
  ASSERT_EQ(framer.next(true), CMessageFramer::kMessage);
  EXPECT_EQ(std::string(framer.message()), declared);
  ASSERT_EQ(framer.next(true), CMessageFramer::kMessage);
  EXPECT_EQ(std::string(framer.message()), commented);
}

TEST(MessageFramer, WaitsInsideATagOrQuotesWhateverTheSocketSays) {
  for (const char* partial : {"<ACK Result=\"succ", "<ACK Result=\"success\"", "<RPT a=\">"}) {
    CMessageFramer framer;
    framer.append(partial, std::strlen(partial));
    EXPECT_EQ(framer.next(false), CMessageFramer::kNeedMore) << partial;
    EXPECT_EQ(framer.pending(), std::strlen(partial));
  }
}

TEST(MessageFramer, BytesAfterAMessageStayAndEveryByteIsAccountedFor) {
  CMessageFramer framer;
  const std::string stream = std::string(kAck) + "<RPT Total";
  framer.append(stream.data(), stream.size());
  ASSERT_EQ(framer.next(true), CMessageFramer::kMessage);
  EXPECT_EQ(framer.message_size() + framer.pending(), stream.size());
  EXPECT_EQ(framer.next(false), CMessageFramer::kNeedMore);
  const std::string rest = "Bytes=\"1\"/>";
  framer.append(rest.data(), rest.size());
  ASSERT_EQ(framer.next(true), CMessageFramer::kMessage);
  EXPECT_EQ(std::string(framer.message()), "<RPT TotalBytes=\"1\"/>");
  EXPECT_EQ(framer.pending(), 0u);
}

TEST(MessageFramer, RefusesAMessageThatOutgrowsTheBound) {
  CMessageFramer framer;
  const std::string chunk(4096, 'x');
  framer.append("<RPT a=\"", 8);
  CMessageFramer::Status status = CMessageFramer::kNeedMore;
  for (int i = 0; i < 300 && status == CMessageFramer::kNeedMore; ++i) {
    framer.append(chunk.data(), chunk.size());
    status = framer.next(false);
  }
  EXPECT_EQ(status, CMessageFramer::kTooLarge);
  EXPECT_EQ(framer.pending(), 0u);
}

}  // namespace
