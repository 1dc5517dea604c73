// The framing property: the messages of a reply, in every form a service
// may write them, are read exactly as sent
//   - each in a receive of its own,
//   - joined in receives that end anywhere while more bytes follow,
//   - split inside tags, quoted values and comments, with any delay before
//     the rest,
//   - split between two tags of an open report where the rest starts with
//     an end tag or an entry, with any delay,
// and mixes of these (white space between messages may go to either side,
// which the parser reads the same). Drip-fed at any byte with long gaps,
// no message is taken that ends inside a tag, and every byte is read once,
// in order.
//
// Shared by the message framer's fuzzer and its randomized test: both drive
// it with bytes that choose the messages, the cuts and the delays.
#ifndef BREVANTO_FUZZ_FRAMING_PROPERTY_H_
#define BREVANTO_FUZZ_FRAMING_PROPERTY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Hands out the driving bytes; zeros once they run out.
class ByteSource {
 public:
  ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  bool empty() const { return size_ == 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// One reply: up to 6 report or listing messages whose text starts with
// "<RPT ", then one final message. Heads self-closed, nested or never
// closed; entries with extra attributes (Result among them) nested or
// after a closed head; status elements nested at any depth; final messages
// of other names; values and comments holding head-like text.
std::vector<std::string> make_reply_messages(ByteSource& bytes);

// Delivers `messages` in receives that `bytes` chooses (whole, joined,
// split inside markup or before a proved continuation) and returns the messages read, each with the white
// space around it trimmed.
std::vector<std::string> frame_delivery(const std::vector<std::string>& messages,
                                        ByteSource& bytes);

// Drip-feeds `messages` cut at any bytes, each piece after a long gap.
// True when every byte was read once, in order, and no message was taken
// that ends inside markup.
bool drip_fed_reading_sound(const std::vector<std::string>& messages, ByteSource& bytes);

// `text` without the white space around it.
std::string trimmed(const std::string& text);

#endif  // BREVANTO_FUZZ_FRAMING_PROPERTY_H_
