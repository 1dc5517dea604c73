// Fuzzes the message framer two ways, chosen by the first byte:
//   - any bytes delivered in any split: every byte must end up in exactly one
//     message or in the framer, within the framer's bound, and only bytes
//     that end inside markup may stay held;
//   - the framing property (framing_property.h): the messages of a reply,
//     in every form, are read as sent however they are delivered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/framing_property.h"
#include "protocol/message_framer.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_any_bytes(const std::uint8_t* data, std::size_t size) {
  const std::size_t cuts = std::min<std::size_t>(data[0] % 16, size - 1);
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < cuts; ++i) lengths.push_back(data[1 + i] + 1);
  const std::uint8_t* payload = data + 1 + cuts;
  const std::size_t payload_size = size - 1 - cuts;

  CMessageFramer framer(data[0] & 0x40 ? CMessageFramer::kRequestHeads
                                       : CMessageFramer::kReplyHeads);
  std::string taken;        // bytes handed out as messages
  std::size_t dropped = 0;  // bytes the framer refused as too large
  std::size_t offset = 0;
  std::size_t chunk = 0;
  while (offset < payload_size) {
    const std::size_t want = chunk < lengths.size() ? lengths[chunk] : payload_size - offset;
    const std::size_t n = std::min(want, payload_size - offset);
    framer.append(reinterpret_cast<const char*>(payload) + offset, n);
    offset += n;
    ++chunk;
    const bool last = offset == payload_size;
    // Vary what the transport says on the chunk index, as a socket might.
    const CMessageFramer::Transport transport =
        last ? CMessageFramer::kWaitedInVain
             : static_cast<CMessageFramer::Transport>(chunk % 3);
    for (;;) {
      const std::size_t held = framer.pending();
      const CMessageFramer::Status status = framer.next(transport);
      if (status == CMessageFramer::kMessage) {
        check(framer.message_size() > 0);
        check(framer.message()[framer.message_size()] == '\0');
        taken.append(framer.message(), framer.message_size());
        continue;
      }
      if (status == CMessageFramer::kTooLarge) dropped += held;
      break;
    }
    check(framer.pending() <= CMessageFramer::kMaxMessageBytes);  // memory stays bounded
  }
  check(taken.size() + framer.pending() + dropped == payload_size);
  check(framer.pending() == 0 || dropped > 0 || framer.ends_inside_markup());
  // What was taken is a prefix of the input, save for dropped stretches.
  if (dropped == 0) {
    check(taken == std::string(reinterpret_cast<const char*>(payload), taken.size()));
  }
}

void check_property(const std::uint8_t* data, std::size_t size) {
  ByteSource bytes(data, size);
  const std::vector<std::string> messages = make_reply_messages(bytes);
  std::vector<std::string> want;
  for (const std::string& m : messages) want.push_back(trimmed(m));
  check(frame_delivery(messages, bytes) == want);
  check(drip_fed_reading_sound(messages, bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  if (data[0] & 0x80) {
    check_property(data + 1, size - 1);
  } else {
    check_any_bytes(data, size);
  }
  return 0;
}
