// A stored file's content on its way out (a download): the bytes the
// catalog keeps, a content kept outside whole, or one kept as chunks, each
// opened when the copy reaches it.
#ifndef BREVANTO_SERVICE_STORE_CONTENT_SOURCE_H_
#define BREVANTO_SERVICE_STORE_CONTENT_SOURCE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service/errors.h"
#include "service/store/chunk_list.h"
#include "service/unique_fd.h"

class ContentStore;
class ProgressReporter;

class ContentSource {
 public:
  static ContentSource kept(std::string bytes);
  static ContentSource whole(UniqueFd fd);
  // `hold` keeps the chunks from deletion while the source lives (the
  // store's claims on them), and ends when it goes.
  static ContentSource chunks(ContentStore& store, std::int64_t user_id,
                              std::vector<ChunkRef> chunks, std::shared_ptr<void> hold);

  // Writes the whole content to `dst`, reporting progress; returns the
  // bytes written. A failed write throws ServiceError(write_code) (or
  // kDiskFull), a missing, short or unreadable chunk kInternal.
  std::uint64_t copy_to(int dst, ProgressReporter& progress, ErrorCode write_code) const;
  // The same without progress (an in-memory copy for readers that take a
  // descriptor).
  std::uint64_t copy_to(int dst) const;

  // A content kept outside whole, open at its start; else invalid.
  int whole_fd() const { return fd_.get(); }

 private:
  UniqueFd open_chunk(const ChunkRef& chunk) const;

  std::string bytes_;
  UniqueFd fd_;
  ContentStore* store_ = nullptr;
  std::int64_t user_id_ = 0;
  std::vector<ChunkRef> chunks_;
  std::shared_ptr<void> hold_;
};

#endif  // BREVANTO_SERVICE_STORE_CONTENT_SOURCE_H_
