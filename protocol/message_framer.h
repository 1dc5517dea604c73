// Splits the byte stream of one connection into messages.
//
// The protocol frames nothing: a reader is meant to take the bytes of one
// receive as one message. TCP may still join messages in one receive or
// split one over several, so the framer reads what the bytes themselves
// can prove and leaves the rest to where a receive ended.
//
// A message, as a service writes it, is one element in XML form: its head
// (its first start tag; a declaration, comment or end tag before it is
// prologue) and, unless the head closes itself, the tags nested in it up to
// the head's end tag. A head that never closes and entries written after a
// closed head (elements with ParentDir and Name) are read too.
//
// Where a message ends:
//   1. A message is cut where the next one certainly begins: at a start tag
//      after its head, outside quoted values and comments, that is not an
//      entry (an element with ParentDir and Name, whatever else it carries)
//      and that
//        - is named RPT or ACK in any letter case (the two message names),
//          also inside a head that never closed; or
//        - follows once every element of the message has closed, where XML
//          allows no further element; or
//        - is a declaration ("<?") once every element has closed.
//      A tag nested in a message, with a Result attribute or not, never
//      begins a new one, and neither does an entry; since a cut needs the
//      whole tag, a message followed by a cut-off tag waits for its rest.
//      The second rule cannot fire inside a whole message: once every
//      element of a message in XML form has closed, the message is over
//      (XML has one element a document), and the entries some services
//      write after a closed head are exempt.
//      In requests (kRequestHeads), any start tag once every element has
//      closed begins the next request.
//   2. Bytes that end inside a tag, a quoted value, a comment or a
//      declaration are certainly incomplete: the reader waits for the rest
//      without a time limit, as a receive does, and never takes a cut tag.
//   3. Otherwise the bytes end after a tag, where a receive ended. The
//      message ends there at once when every element has closed. A report
//      or listing message (its text starts with "<RPT ") left open ends
//      there too, unless the bytes that come next certainly go on with it:
//      their first tag (past white space and comments) is an end tag or an
//      entry, which no message begins with. More messages always follow a
//      report, so it is held until those bytes come; no timer is involved.
//      A final message left open (its head never closed) or bytes without a
//      head are given a short grace wait to go on, then taken as they are:
//      nothing follows a final message unasked, so the wait can only
//      complete it.
//
// Which deliveries are read exactly, and why:
//   - every message in a receive of its own, at any timing: rule 3 ends it
//     where the receive ended, as a reader that takes one receive as one
//     message does;
//   - messages joined in one receive: cut by rule 1, which fires only where
//     a new message begins;
//   - a message split inside a tag, quoted value or comment, with any delay
//     before the rest: rule 2.
// Best effort only: a message split exactly between two tags where nothing
// proves that it goes on (a closed message, or a report whose rest starts
// with a nested tag that is no entry). That cannot be told from a whole
// message without timing, so it is read as the bytes before the split, as
// a reader of one receive would read it.
//
// Quotes count inside tags only, as XML has them: a '"' between tags is
// text and never makes the framer wait.
//
// The framer knows nothing of sockets: it is fed bytes and told where a
// receive ended, which keeps it deterministic under test.
#ifndef BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_
#define BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_

#include <cstddef>
#include <string>

class CMessageFramer {
 public:
  // A message that grows past this many bytes without completing is refused.
  static constexpr std::size_t kMaxMessageBytes = 1 << 20;

  // Which start tags begin a new message.
  enum Heads {
    kReplyHeads,    // the replies of a service (rule 1 above)
    kRequestHeads,  // requests: any start tag once every element has closed
  };

  // What the transport knows of the end of the bytes appended.
  enum Transport {
    kMoreWaiting,    // more bytes follow at once (the receive filled its buffer)
    kReceiveEnded,   // a receive ended here
    kWaitedInVain,   // ... and nothing more came within the grace wait
  };

  enum Status {
    kMessage,   // message() holds the next message
    kNeedMore,  // more bytes are needed
    kTooLarge,  // the pending message passed kMaxMessageBytes; bytes dropped
  };

  explicit CMessageFramer(Heads heads = kReplyHeads) : heads_(heads) {}

  // Adds received bytes after those held.
  void append(const char* data, std::size_t size);

  // Takes the next message if one is complete, given what the transport
  // says of the end of the bytes held.
  Status next(Transport transport);

  // The message taken by the last next() that returned kMessage, NUL
  // terminated; valid until the next call of append(), next() or reset().
  const char* message() const { return message_; }
  std::size_t message_size() const { return message_size_; }

  // Whether the bytes held end inside a tag, a quoted value, a comment or
  // a declaration: certainly cut, so their rest is awaited without limit.
  bool ends_inside_markup() const {
    return quoted_ || (phase_ != kText && phase_ != kPrefix);
  }

  // Whether the pending message, ending where a receive ended, is given the
  // grace wait before it is taken (rule 3). Valid after a next() that
  // returned kNeedMore for kReceiveEnded.
  bool wants_grace() const { return pending() > 0 && !ends_inside_markup() && !held_report_; }

  // Bytes held that belong to no message taken yet.
  std::size_t pending() const { return buffer_.size() - start_; }

  // Drops every byte held, e.g. when the connection closes or is replaced.
  void reset();

 private:
  enum Phase {
    kPrefix,    // no '<' seen in this message yet
    kText,      // between tags
    kTagOpen,   // just after '<'
    kStartTag,  // inside a start tag
    kEndTag,    // inside an end tag
    kBang,      // after "<!" (a comment when "--" follows)
    kComment,   // inside "<!-- ... -->"
    kOther,     // inside a declaration or "<!...>" that is no comment
  };

  // Every element of the message has closed: the head closed itself or met
  // its end tag, and so did every element opened after it.
  bool all_closed() const { return has_head_ && depth_ == 0; }
  // Whether the message text starts with "<RPT ", as the reply parser tells
  // a report from a final message.
  bool is_report() const;
  // A report left open is held at a receive's end (rule 3): the bytes after
  // `boundary_` decide. Returns the offset where the message ends if they
  // prove it does, or 0. `tag_kind` is what the first tag after the
  // boundary turned out to be.
  enum TagKind { kGoesOn, kBeginsNew };
  std::size_t decide_held(TagKind kind);
  void release_message();
  void restart_scan();
  void take(std::size_t end);
  // Scans from scan_ on; returns the offset where a new message begins, or
  // 0 when none does in the bytes held.
  std::size_t scan();
  // A start tag has ended with its '>' at scan_. Returns the offset where
  // the pending message ends if the tag proves it does, or 0.
  std::size_t start_tag_ended();

  const Heads heads_;
  std::string buffer_;
  std::size_t start_ = 0;  // first byte of the pending message
  std::size_t scan_ = 0;   // first byte not yet scanned

  // Scanner state for the pending message.
  Phase phase_ = kPrefix;
  bool quoted_ = false;        // inside a quoted value of a tag
  bool has_head_ = false;      // the message's first start tag has ended
  std::size_t depth_ = 0;      // elements open
  std::size_t first_lt_ = 0;   // offset of the message's first '<'
  std::size_t tag_start_ = 0;  // offset of the '<' of the tag being read
  std::size_t dashes_ = 0;     // '-' after "<!", up to two
  bool held_report_ = false;   // an open report ended at boundary_
  // The next message's head, read whole when it cut the pending message:
  // it ends before head_end_ and closed itself or not.
  bool head_read_ = false;
  bool head_closed_ = false;
  std::size_t head_end_ = 0;
  std::size_t boundary_ = 0;   // where that receive ended

  // The message handed out, terminated in place.
  const char* message_ = nullptr;
  std::size_t message_size_ = 0;
  std::size_t message_end_ = 0;  // offset of the byte replaced by the NUL
  char saved_byte_ = 0;
  bool terminated_ = false;
};

#endif  // BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_
