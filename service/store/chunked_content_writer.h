// A large content stored as chunks while its upload reads it (see
// chunker.h): each chunk is hashed, claimed, and written to the content
// store unless the account holds it already; the written chunks are placed
// in batches (one sync for many). The chunks are hashed and stored by a
// thread of the writer's own while the upload goes on reading, hashing the
// whole and cutting. The claims are held until the writer goes, so that no
// chunk it found or placed is deleted before the row that refers to the
// content commits: put_file() runs before.
#ifndef BREVANTO_SERVICE_STORE_CHUNKED_CONTENT_WRITER_H_
#define BREVANTO_SERVICE_STORE_CHUNKED_CONTENT_WRITER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/store/chunk_list.h"
#include "service/store/chunker.h"
#include "service/store/content_store.h"
#include "service/store/file_catalog.h"

class Store;

class ChunkedContentWriter {
 public:
  // `size`: the content's length, as its file had it at the start; a
  // chunk that would leave fewer bytes than a large content has for the
  // last one is not cut, so that no chunk is small enough to be a content
  // the catalog keeps.
  ChunkedContentWriter(Store& store, std::int64_t user_id, std::uint64_t size);
  ~ChunkedContentWriter();
  ChunkedContentWriter(const ChunkedContentWriter&) = delete;
  ChunkedContentWriter& operator=(const ChunkedContentWriter&) = delete;

  // The next bytes of the content. A full disk or quota stops the storing
  // (see finish()); anything else throws ServiceError, here or at finish().
  void write(const unsigned char* data, std::size_t size);

  // After the last write: the content as put_file() takes it. Its chunk
  // list in `content->bytes`; a content of one chunk is stored whole, and
  // `*in_place` is a writer with nothing left to do. When the storing
  // stopped (no room) or the content did not end where its size said,
  // neither is set: put_file() then stores it only if it is held already.
  void finish(NewContent* content, std::unique_ptr<ContentWriter>* in_place);

 private:
  void cut();
  // The thread that stores the chunks cut, in order.
  void store_chunks();
  void store_chunk(const std::vector<unsigned char>& bytes);
  void place_pending();
  // Stops the thread once it has stored every chunk cut; rethrows what
  // stopped it.
  void join();

  Store& store_;
  std::int64_t user_id_;
  std::uint64_t size_;
  std::uint64_t seen_ = 0;
  Chunker chunker_;
  std::vector<unsigned char> chunk_;

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> cut_;  // for the thread, at most two
  std::vector<std::vector<unsigned char>> spare_;  // buffers it is done with
  bool closing_ = false;
  std::exception_ptr failure_;
  std::thread thread_;

  // The thread's own until join():
  std::vector<ChunkRef> chunks_;
  bool stopped_ = false;
  // Each chunk claimed, once, and whether this writer placed it.
  std::unordered_map<std::string, bool> claimed_;
  // Chunks written and not yet placed.
  std::vector<std::pair<std::unique_ptr<ContentWriter>, std::string>> pending_;
};

#endif  // BREVANTO_SERVICE_STORE_CHUNKED_CONTENT_WRITER_H_
