// Fuzzes the message framer with any bytes delivered in any split: the first
// byte chooses how many cut points follow, each cut point byte is a chunk
// length. Every byte must end up in exactly one message or in the framer,
// and the framer must stay within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/message_framer.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cuts = std::min<std::size_t>(data[0] % 16, size - 1);
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < cuts; ++i) lengths.push_back(data[1 + i] + 1);
  const std::uint8_t* payload = data + 1 + cuts;
  const std::size_t payload_size = size - 1 - cuts;

  CMessageFramer framer;
  std::string taken;      // bytes handed out as messages
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
    // Alternate the "more waiting" answer on the chunk index, as a socket might.
    const bool more_waiting = !last && (chunk % 2 == 0);
    for (;;) {
      const std::size_t held = framer.pending();
      const CMessageFramer::Status status = framer.next(more_waiting);
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
  // What was taken is a prefix of the input, save for dropped stretches.
  if (dropped == 0) {
    check(taken == std::string(reinterpret_cast<const char*>(payload), taken.size()));
  }
  return 0;
}
