#include "service/store/content_source.h"

#include <cerrno>

#include "service/fd_write.h"
#include "service/store/content_copy.h"
#include "service/store/content_store.h"

ContentSource ContentSource::kept(std::string bytes) {
  ContentSource source;
  source.bytes_ = std::move(bytes);
  return source;
}

ContentSource ContentSource::whole(UniqueFd fd) {
  ContentSource source;
  source.fd_ = std::move(fd);
  return source;
}

ContentSource ContentSource::chunks(ContentStore& store, std::int64_t user_id,
                                    std::vector<ChunkRef> chunks, std::shared_ptr<void> hold) {
  ContentSource source;
  source.store_ = &store;
  source.user_id_ = user_id;
  source.chunks_ = std::move(chunks);
  source.hold_ = std::move(hold);
  return source;
}

UniqueFd ContentSource::open_chunk(const ChunkRef& chunk) const {
  UniqueFd fd = store_->open(user_id_, chunk.sha256);
  if (!fd.valid()) throw_errno(kInternal, errno, "open chunk " + chunk.sha256);
  return fd;
}

namespace {

void check_length(const ChunkRef& chunk, std::uint64_t copied) {
  if (copied != static_cast<std::uint64_t>(chunk.size)) {
    throw ServiceError(kInternal, "chunk " + chunk.sha256 + " holds " + std::to_string(copied) +
                                      " bytes, not " + std::to_string(chunk.size));
  }
}

}  // namespace

std::uint64_t ContentSource::copy_to(int dst, ProgressReporter& progress,
                                     ErrorCode write_code) const {
  if (fd_.valid()) {
    return copy_content(fd_.get(), dst, progress, kInternal, write_code, Hashing::kSkip).bytes;
  }
  if (store_ == nullptr) return write_bytes(bytes_, dst, progress, write_code);
  std::uint64_t done = 0;
  for (const ChunkRef& chunk : chunks_) {
    const UniqueFd fd = open_chunk(chunk);
    const std::uint64_t copied =
        copy_content(fd.get(), dst, progress, kInternal, write_code, Hashing::kSkip, done).bytes;
    check_length(chunk, copied);
    done += copied;
  }
  return done;
}

std::uint64_t ContentSource::copy_to(int dst) const {
  const auto copy_fd = [&](int src) {
    std::uint64_t copied = 0;
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t n = ::read(src, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw_errno(kInternal, errno, "read content");
      if (n == 0) return copied;
      if (!write_all(dst, buffer, static_cast<std::size_t>(n))) {
        throw_errno(kInternal, errno, "write content");
      }
      copied += static_cast<std::uint64_t>(n);
    }
  };
  if (fd_.valid()) return copy_fd(fd_.get());
  if (store_ == nullptr) {
    if (!write_all(dst, bytes_.data(), bytes_.size())) throw_errno(kInternal, errno, "write");
    return bytes_.size();
  }
  std::uint64_t done = 0;
  for (const ChunkRef& chunk : chunks_) {
    const std::uint64_t copied = copy_fd(open_chunk(chunk).get());
    check_length(chunk, copied);
    done += copied;
  }
  return done;
}
