#include "service/store/chunk_list.h"

#include <unordered_set>

#include "service/errors.h"

bool is_sha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string encode_chunk_list(const std::vector<ChunkRef>& chunks) {
  std::string text;
  text.reserve(chunks.size() * 76);
  for (const ChunkRef& chunk : chunks) {
    text += chunk.sha256;
    text += ' ';
    text += std::to_string(chunk.size);
    text += '\n';
  }
  return text;
}

bool parse_chunk_list(const std::string& text, std::vector<ChunkRef>* chunks) {
  chunks->clear();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string::npos || end < at + 66 || text[at + 64] != ' ') return false;
    ChunkRef chunk;
    chunk.sha256 = text.substr(at, 64);
    if (!is_sha256(chunk.sha256) || end - (at + 65) > 18) return false;
    for (std::size_t i = at + 65; i < end; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      chunk.size = chunk.size * 10 + (text[i] - '0');
    }
    if (chunk.size <= 0) return false;
    chunks->push_back(std::move(chunk));
    at = end + 1;
  }
  return !chunks->empty();
}

std::vector<ChunkRef> distinct_chunks(const std::vector<ChunkRef>& chunks) {
  std::vector<ChunkRef> out;
  std::unordered_set<std::string> seen;
  for (const ChunkRef& chunk : chunks) {
    if (seen.insert(chunk.sha256).second) out.push_back(chunk);
  }
  return out;
}

std::vector<ChunkRef> referenced_chunks(const std::string& sha256, const std::string& list) {
  std::vector<ChunkRef> chunks;
  if (!parse_chunk_list(list, &chunks)) {
    throw ServiceError(kInternal, "a damaged chunk list for " + sha256);
  }
  return distinct_chunks(chunks);
}
