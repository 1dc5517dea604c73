// Content-defined chunking: where a large content is cut into chunks, so
// that a change in one place of a file changes only the chunks around it
// and the rest are found stored already.
//
// A gear hash rolls over the bytes of the chunk being cut (each byte
// shifts it one bit and adds the byte's random 64-bit value, so its top
// bits depend on the last 64 bytes only); a chunk ends where the top 20
// bits are zero, or at kMaxBytes. The first kMinBytes of a chunk are not
// looked at: no chunk is shorter (but a content's last), and cutting is
// cheaper. Chunks are about kMinBytes + 1 MiB long on average.
//
// The cut points depend on the bytes alone, and the gear values never
// change: a content cut today is cut the same way by every later version
// of the service, so its chunks are found again.
#ifndef BREVANTO_SERVICE_STORE_CHUNKER_H_
#define BREVANTO_SERVICE_STORE_CHUNKER_H_

#include <cstddef>
#include <cstdint>

class Chunker {
 public:
  static constexpr std::size_t kMinBytes = 256 * 1024;
  static constexpr std::size_t kMaxBytes = 4 * 1024 * 1024;

  // Looks at the next `size` bytes of the content: returns how many of them
  // belong to the chunk being cut, and sets `*cut` when the chunk ends
  // after them (the rest begin the next chunk). Bytes may come in pieces of
  // any size: the cuts are the same.
  std::size_t scan(const unsigned char* data, std::size_t size, bool* cut);

 private:
  std::uint64_t hash_ = 0;
  std::size_t length_ = 0;  // bytes of the chunk so far
};

#endif  // BREVANTO_SERVICE_STORE_CHUNKER_H_
