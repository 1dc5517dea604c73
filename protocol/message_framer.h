// Splits the byte stream of one connection into messages.
//
// The protocol frames nothing: TCP may join replies in one receive or split
// one over several, and a message may carry entries after its first tag. So
// a message is everything from its head up to where the next head begins:
//   - the head of a message is its first start tag, whatever it is (a
//     declaration, comment or end tag before it is prologue);
//   - after that, a start tag outside any tag, quotes and comments begins the
//     next message when it is a head: in replies, a tag named RPT or ACK (any
//     letter case) or one carrying a Result attribute (any case); in
//     requests, any start tag once the head has closed. A declaration
//     ("<?...") after the head begins the next message too, as it can only
//     open a document. Every other tag belongs to the current message (its
//     entries, its end tag, the rest);
//   - a message followed by a head is complete at that head;
//   - when the bytes end and nothing more is waiting, the last message is
//     complete at once if its head has closed (self-closed, or its end tag
//     seen) and the bytes end outside any tag, quotes and comment. Any other
//     message (head still open, or the bytes ending inside a tag, a quoted
//     value or a comment, or holding no tag at all) is taken only once the
//     reader has waited for more in vain, as the bytes it holds.
// A conforming peer that sends one whole message per receive is therefore
// read exactly as it sent, and joined or split messages are read the same.
// Quotes toggle from the message's first '<' on, as they do for the reply
// parser, except inside comments.
//
// The framer knows nothing of sockets: it is fed bytes and told what the
// transport knows of more, which keeps it deterministic under test.
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
    kReplyHeads,    // RPT, ACK, or a tag with a Result attribute
    kRequestHeads,  // any start tag after the head has closed
  };

  // What the transport can tell about bytes beyond those appended.
  enum Transport {
    kMoreWaiting,     // more bytes are waiting: only a head ends a message
    kNothingWaiting,  // nothing waits now: a closed message ends too
    kWaitedInVain,    // nothing came within the wait: the bytes held are one
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
  // says of more bytes.
  Status next(Transport transport);

  // The message taken by the last next() that returned kMessage, NUL
  // terminated; valid until the next call of append(), next() or reset().
  const char* message() const { return message_; }
  std::size_t message_size() const { return message_size_; }

  // Whether the pending message may end only after a wait for more bytes:
  // bytes are held and the message is not closed where they end. Valid
  // after a next() that returned kNeedMore.
  bool needs_wait() const { return pending() > 0 && !closed_at_end(); }

  // Whether the bytes held end outside any tag, quotes and comment (after a
  // tag's '>', or before any '<'), so that taking them as they are cuts no
  // tag.
  bool ends_outside_tag() const { return (phase_ == kText && !quoted_) || phase_ == kPrefix; }

  // Bytes held that belong to no message taken yet.
  std::size_t pending() const { return buffer_.size() - start_; }

  // Drops every byte held, e.g. when the connection closes or is replaced.
  void reset();

 private:
  enum Phase {
    kPrefix,      // no '<' seen in this message yet
    kText,        // between tags
    kTagOpen,     // just after an unquoted '<'
    kName,        // reading a start tag's name
    kTag,         // inside a start tag, after its name
    kEndTagName,  // reading an end tag's name
    kEndTag,      // inside an end tag, after its name
    kBang,        // after "<!" (a comment when "--" follows)
    kComment,     // inside "<!-- ... -->"
    kOther,       // inside a declaration or "<!...>" that is no comment
  };

  bool closed_at_end() const { return head_closed_ && ends_outside_tag(); }
  void release_message();
  void restart_scan();
  void take(std::size_t end);
  // Scans from scan_ on; returns the offset where a head cuts the pending
  // message, or 0 when none does in the bytes held.
  std::size_t scan();
  // A start tag's name has ended at scan_: decides what the tag is. Returns
  // true when it is a head that cuts the pending message.
  bool name_ended();
  // Whether the start tag being read carries a Result attribute whose name
  // ends just before offset `end` (at a '"' or '>').
  bool result_attribute_before(std::size_t end) const;
  // The tag being read has ended with its '>' at scan_.
  void tag_ended();

  const Heads heads_;
  std::string buffer_;
  std::size_t start_ = 0;  // first byte of the pending message
  std::size_t scan_ = 0;   // first byte not yet scanned

  // Scanner state for the pending message.
  Phase phase_ = kPrefix;
  bool quoted_ = false;
  bool has_head_ = false;     // the message's first start tag has begun
  bool head_closed_ = false;  // ... and closed itself or met its end tag
  bool in_head_ = false;      // the tag being read is the head
  bool candidate_ = false;    // the tag being read may still prove a head
  std::size_t tag_start_ = 0;    // offset of the '<' of the tag being read
  std::size_t name_start_ = 0;   // offset of its name's first byte
  std::size_t dashes_ = 0;       // "-" after "<!", up to two
  std::size_t comment_body_ = 0; // offset after a comment's "<!--"
  std::string head_name_;        // lower-cased name of the head
  std::string end_name_;         // lower-cased name of the end tag being read
  bool end_name_done_ = false;   // that name has ended
  bool end_tag_other_ = false;   // the end tag holds more than a name

  // The message handed out, terminated in place.
  const char* message_ = nullptr;
  std::size_t message_size_ = 0;
  std::size_t message_end_ = 0;  // offset of the byte replaced by the NUL
  char saved_byte_ = 0;
  bool terminated_ = false;
};

#endif  // BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_
