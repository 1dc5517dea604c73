#include "service/store/chunked_content_writer.h"

#include <cerrno>
#include <utility>

#include "service/errors.h"
#include "service/fd_write.h"
#include "service/log.h"
#include "service/store/store.h"
#include "util/sha256.h"

namespace {

bool no_room(int err) { return err == ENOSPC || err == EDQUOT; }

// Chunks written before they are placed together: each holds an open file
// until then.
constexpr std::size_t kPendingChunks = 64;

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
  thread_ = std::thread([this] { store_chunks(); });
}

ChunkedContentWriter::~ChunkedContentWriter() {
  {
    // An upload that did not finish stores no more of its chunks.
    std::lock_guard<std::mutex> lock(mu_);
    cut_.clear();
  }
  try {
    join();
  } catch (...) {
    // What stopped the storing was thrown at write() or finish() already,
    // or the upload failed for a reason of its own.
  }
  pending_.clear();
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
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [&] { return cut_.size() < 2 || failure_; });
  if (failure_) std::rethrow_exception(failure_);
  cut_.push_back(std::move(chunk_));
  chunk_.clear();
  if (!spare_.empty()) {
    chunk_ = std::move(spare_.back());
    spare_.pop_back();
    chunk_.clear();
  }
  changed_.notify_all();
}

void ChunkedContentWriter::store_chunks() {
  for (;;) {
    std::vector<unsigned char> bytes;
    {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [&] { return !cut_.empty() || closing_; });
      if (cut_.empty()) return;
      bytes = std::move(cut_.front());
      cut_.pop_front();
    }
    try {
      store_chunk(bytes);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu_);
      failure_ = std::current_exception();
      cut_.clear();
      changed_.notify_all();
      return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    spare_.push_back(std::move(bytes));
    changed_.notify_all();
  }
}

void ChunkedContentWriter::join() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
    changed_.notify_all();
  }
  thread_.join();
  if (failure_) std::rethrow_exception(failure_);
}

void ChunkedContentWriter::store_chunk(const std::vector<unsigned char>& bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  const std::string sha256 = sha.hex();
  chunks_.push_back(ChunkRef{sha256, static_cast<std::int64_t>(bytes.size())});
  if (stopped_ || claimed_.count(sha256) > 0) return;
  store_.claim(user_id_, sha256);
  claimed_[sha256] = false;
  if (store_.holds(user_id_, sha256)) return;
  std::string why;
  if (!store_.has_room(user_id_, static_cast<std::int64_t>(bytes.size()), &why)) {
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
  if (!write_all(writer->fd(), bytes.data(), bytes.size())) {
    if (no_room(errno)) {
      stopped_ = true;
      return;
    }
    throw_errno(storage_error_code(errno, kInternal), errno, "write chunk");
  }
  writer->written();
  pending_.emplace_back(std::move(writer), sha256);
  if (pending_.size() >= kPendingChunks) place_pending();
}

void ChunkedContentWriter::place_pending() {
  std::vector<ContentStore::Placement> batch;
  for (const auto& [writer, sha256] : pending_) batch.push_back({writer.get(), sha256});
  int err = 0;
  const std::size_t placed = store_.place_all(batch, &err);
  for (std::size_t i = 0; i < placed; ++i) claimed_[batch[i].sha256] = true;
  pending_.clear();
  if (err == 0) return;
  if (!no_room(err)) throw_errno(storage_error_code(err, kInternal), err, "store chunks");
  stopped_ = true;
}

void ChunkedContentWriter::finish(NewContent* content, std::unique_ptr<ContentWriter>* in_place) {
  // A file that changed while it was read is not stored (its upload is
  // refused); its last piece may be small, and is not stored either.
  const bool whole = seen_ == size_;
  if (whole && !chunk_.empty()) cut();
  join();
  if (!whole) return;
  if (!stopped_ && !pending_.empty()) place_pending();
  if (stopped_) return;
  if (chunks_.size() == 1) {
    *in_place = std::make_unique<InPlace>();
    return;
  }
  content->bytes = encode_chunk_list(chunks_);
}
