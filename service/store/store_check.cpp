#include "service/store/store_check.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "service/store/chunk_list.h"
#include "service/store/content_store.h"
#include "service/store/file_catalog.h"
#include "util/sha256.h"

long check_store(FileCatalog& catalog, ContentStore& contents, std::FILE* out) {
  long faults = 0;
  long checked = 0;
  long long bytes = 0;
  std::vector<unsigned char> buffer(256 * 1024);
  catalog.for_each_content([&](const FileCatalog::StoredContent& c) {
    ++checked;
    Sha256 sha;
    std::int64_t size = 0;
    if (!c.external) {
      sha.update(c.bytes.data(), c.bytes.size());
      size = static_cast<std::int64_t>(c.bytes.size());
    } else {
      // A whole content, or a chunked one read as a download reads it: its
      // chunks in order (each is checked as a content of its own as well).
      std::vector<ChunkRef> chunks;
      if (c.bytes.empty()) {
        chunks.push_back(ChunkRef{c.sha256, c.size});
      } else if (!parse_chunk_list(c.bytes, &chunks)) {
        chunks.clear();  // the catalog's check names the damaged list
      }
      for (const ChunkRef& chunk : chunks) {
        const UniqueFd fd = contents.open(c.user_id, chunk.sha256);
        if (!fd.valid()) {
          std::fprintf(out, "user %lld: content %s: %s%s\n", static_cast<long long>(c.user_id),
                       c.sha256.c_str(), chunk.sha256 == c.sha256 ? "" : "a chunk: ",
                       std::strerror(errno));
          ++faults;
          return;
        }
        for (;;) {
          const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          sha.update(buffer.data(), static_cast<std::size_t>(n));
          size += n;
        }
      }
    }
    bytes += size;
    if (size != c.size || sha.hex() != c.sha256) {
      std::fprintf(out, "user %lld: content %s: damaged (%lld bytes, SHA-256 %s)\n",
                   static_cast<long long>(c.user_id), c.sha256.c_str(),
                   static_cast<long long>(size), sha.hex().c_str());
      ++faults;
    }
  });
  for (const std::string& fault : catalog.catalog_faults()) {
    std::fprintf(out, "%s\n", fault.c_str());
    ++faults;
  }
  std::fprintf(out, "check: %ld content(s), %lld bytes read, %ld fault(s)\n", checked, bytes,
               faults);
  return faults;
}
