// A content kept as chunks: the list of its chunks in order, each a content
// of the account by SHA-256 (see chunker.h). The catalog keeps the list as
// the content's data, one line a chunk: "<SHA-256> <bytes>\n".
#ifndef BREVANTO_SERVICE_STORE_CHUNK_LIST_H_
#define BREVANTO_SERVICE_STORE_CHUNK_LIST_H_

#include <cstdint>
#include <string>
#include <vector>

struct ChunkRef {
  std::string sha256;  // lower-case hex
  std::int64_t size = 0;
};

// Whether `text` is a SHA-256 as contents are named: 64 lower-case hex digits.
bool is_sha256(const std::string& text);

std::string encode_chunk_list(const std::vector<ChunkRef>& chunks);
// False for text that is not such a list (or an empty one).
bool parse_chunk_list(const std::string& text, std::vector<ChunkRef>* chunks);
// The chunks of the list, each once (a content may repeat a chunk), in the
// order they first come: a content holds one reference to each.
std::vector<ChunkRef> distinct_chunks(const std::vector<ChunkRef>& chunks);
// The chunks a chunked content refers to, each once; throws
// ServiceError(kInternal) for a list that is damaged.
std::vector<ChunkRef> referenced_chunks(const std::string& sha256, const std::string& list);

#endif  // BREVANTO_SERVICE_STORE_CHUNK_LIST_H_
