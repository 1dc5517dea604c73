// The framing property: well-formed reply messages, their concatenation cut
// at any points and delivered with pauses shorter than the reader's wait,
// are read exactly as the messages sent one per receive (white space between
// messages may go to either side, which the parser reads the same).
//
// Shared by the message framer's fuzzer and its randomized test: both drive
// it with bytes that choose the messages, the cuts and what the transport
// says between chunks.
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

// Up to 8 messages of the kinds a service sends: progress reports, listing
// messages with their entries, final replies, a head known by its Result.
std::vector<std::string> make_reply_messages(ByteSource& bytes);

// Frames the concatenation of `messages` cut where `bytes` chooses; returns
// the messages read, each with the white space around it trimmed.
std::vector<std::string> frame_with_cuts(const std::vector<std::string>& messages,
                                         ByteSource& bytes);

// `text` without the white space around it.
std::string trimmed(const std::string& text);

#endif  // BREVANTO_FUZZ_FRAMING_PROPERTY_H_
