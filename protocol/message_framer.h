// Splits the byte stream of one connection into reply messages.
//
// The protocol has no delimiter, and TCP may join two replies in one receive
// or split one over two. The framer collects bytes and hands out one complete
// message at a time:
//   - a message is complete when its first tag closes itself ("/>"), or when
//     the end tag of its first tag's name arrives (any letter case, outside
//     double quotes);
//   - otherwise, when the bytes held end right after a tag's '>' (or hold no
//     '<' at all) and the transport has nothing more waiting, they are taken
//     as one message, so a message that arrives alone is read as it was sent;
//   - a first tag that is a declaration or comment ("<?...>", "<!...>") is
//     prologue: the tag after it counts as the first;
//   - a message that ends inside a tag or inside quotes waits for more bytes;
//   - bytes after a complete message stay for the next one.
// Quotes toggle from the first '<' on, as they do for the reply parser.
//
// The framer knows nothing of sockets: it is fed bytes and told whether more
// are waiting, which keeps it deterministic under test.
#ifndef BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_
#define BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_

#include <cstddef>
#include <string>

class CMessageFramer {
 public:
  // A message that grows past this many bytes without completing is refused.
  static constexpr std::size_t kMaxMessageBytes = 1 << 20;

  enum Status {
    kMessage,   // message() holds the next message
    kNeedMore,  // more bytes are needed
    kTooLarge,  // the pending message passed kMaxMessageBytes; bytes dropped
  };

  // Adds received bytes after those held.
  void append(const char* data, std::size_t size);

  // Takes the next message if one is complete. `more_waiting` tells whether
  // the transport holds further bytes; only when it does not may the
  // fallback rule end a message.
  Status next(bool more_waiting);

  // The message taken by the last next() that returned kMessage, NUL
  // terminated; valid until the next call of append(), next() or reset().
  const char* message() const { return message_; }
  std::size_t message_size() const { return message_size_; }

  // Whether the fallback rule could end the pending message now, were the
  // transport to have nothing more waiting: the bytes end right after a tag
  // (or hold no '<'). Lets a reader skip asking the transport otherwise.
  bool could_end_without_more() const {
    return pending() > 0 && (phase_ == kBeforeFirstTag || (!quoted_ && after_gt_));
  }

  // Bytes held that belong to no message taken yet.
  std::size_t pending() const { return buffer_.size() - start_; }

  // Drops every byte held, e.g. when the connection closes or is replaced.
  void reset();

 private:
  enum Phase {
    kBeforeFirstTag,  // no '<' seen yet
    kFirstTagName,    // reading the first tag's name
    kFirstTag,        // inside the first tag, after its name
    kAfterPrologue,   // after a declaration or comment, before the first tag
    kBody,            // between tags after the first one
    kTagOpen,         // just after a later tag's '<'
    kTag,             // inside a later tag
    kEndTagName,      // reading the name of a later closing tag
  };

  void release_message();
  void restart_scan();
  // Scans from scan_ on; returns the end offset of a complete message or 0.
  std::size_t scan();

  std::string buffer_;
  std::size_t start_ = 0;  // first byte of the pending message
  std::size_t scan_ = 0;   // first byte not yet scanned

  // Scanner state for the pending message.
  Phase phase_ = kBeforeFirstTag;
  bool quoted_ = false;
  bool prev_slash_ = false;    // last unquoted byte in a tag was '/'
  bool after_gt_ = false;      // last byte scanned closed a tag
  std::string first_name_;     // lower-cased name of the first tag
  std::string end_name_;       // lower-cased name of the closing tag being read
  bool end_name_done_ = false; // the closing tag's name has ended

  // The message handed out, terminated in place.
  const char* message_ = nullptr;
  std::size_t message_size_ = 0;
  std::size_t message_end_ = 0;  // offset of the byte replaced by the NUL
  char saved_byte_ = 0;
  bool terminated_ = false;
};

#endif  // BREVANTO_PROTOCOL_MESSAGE_FRAMER_H_
