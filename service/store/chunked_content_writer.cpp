#include "service/store/chunked_content_writer.h"

#include <cerrno>

#include "service/errors.h"
#include "service/fd_write.h"
#include "service/log.h"
#include "service/store/store.h"
#include "util/sha256.h"

namespace {

bool no_room(int err) { return err == ENOSPC || err == EDQUOT; }

// A content of one chunk is the chunk: placed already under its name.
class InPlace : public ContentWriter {
 public:
  int fd() const override { return -1; }
  int place(const std::string&) override { return 0; }
};

}  // namespace

ChunkedContentWriter::ChunkedContentWriter(Store& store, std::int64_t user_id, std::uint64_t size)
    : store_(store), user_id_(user_id), size_(size) {
  chunk_.reserve(Chunker::kMinBytes * 2);
}

ChunkedContentWriter::~ChunkedContentWriter() {
  for (const auto& [sha256, placed] : claimed_) store_.release_claim(user_id_, sha256, placed);
}

void ChunkedContentWriter::write(const unsigned char* data, std::size_t size) {
  while (size > 0) {
    bool at_cut = false;
    const std::size_t n = chunker_.scan(data, size, &at_cut);
    chunk_.insert(chunk_.end(), data, data + n);
    seen_ += n;
    data += n;
    size -= n;
    // The last chunk is never one a catalog would keep: such a cut is not
    // made, and the rest of the content goes into this chunk.
    if (at_cut && (seen_ > size_ || size_ - seen_ > static_cast<std::uint64_t>(
                                                        Store::kInlineMaxBytes))) {
      cut();
    }
  }
}

void ChunkedContentWriter::cut() {
  Sha256 sha;
  sha.update(chunk_.data(), chunk_.size());
  const std::string sha256 = sha.hex();
  chunks_.push_back(ChunkRef{sha256, static_cast<std::int64_t>(chunk_.size())});
  if (!stopped_ && claimed_.count(sha256) == 0) store_chunk(sha256);
  chunk_.clear();
}

void ChunkedContentWriter::store_chunk(const std::string& sha256) {
  store_.claim(user_id_, sha256);
  bool& placed = claimed_[sha256];
  placed = false;
  if (store_.holds(user_id_, sha256)) return;
  std::string why;
  if (!store_.has_room(user_id_, static_cast<std::int64_t>(chunk_.size()), &why)) {
    stopped_ = true;
    return;
  }
  std::unique_ptr<ContentWriter> writer;
  try {
    writer = store_.begin_content(user_id_);
  } catch (const ServiceError& e) {
    if (e.code() != kDiskFull) throw;
    stopped_ = true;
    return;
  }
  int err = write_all(writer->fd(), chunk_.data(), chunk_.size()) ? 0 : errno;
  if (err == 0) err = writer->place(sha256);
  if (no_room(err)) {
    stopped_ = true;
    return;
  }
  if (err != 0) throw_errno(storage_error_code(err, kInternal), err, "store chunk");
  placed = true;
}

void ChunkedContentWriter::finish(NewContent* content, std::unique_ptr<ContentWriter>* in_place) {
  // A file that changed while it was read is not stored (its upload is
  // refused); its last piece may be small, and is not stored either.
  if (seen_ != size_) return;
  if (!chunk_.empty()) cut();
  if (stopped_) return;
  if (chunks_.size() == 1) {
    *in_place = std::make_unique<InPlace>();
    return;
  }
  content->bytes = encode_chunk_list(chunks_);
}
