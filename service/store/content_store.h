// Contents kept outside the catalog (the large ones), named by account and
// SHA-256. A content is written to a new file, then put in place under its
// name once it is durable, so that whatever refers to it never finds it
// torn or missing, after a crash or a power cut alike.
//
// This is an interface, so that an object store shared by services on many
// hosts can stand in for the folder of one service.
#ifndef BREVANTO_SERVICE_STORE_CONTENT_STORE_H_
#define BREVANTO_SERVICE_STORE_CONTENT_STORE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/unique_fd.h"

// A content being written. Discarded unless placed.
class ContentWriter {
 public:
  virtual ~ContentWriter() = default;
  // Where the bytes go.
  virtual int fd() const = 0;
  // Every byte is written: the store may start making them durable, ahead
  // of place() (or ContentStore::place_all()).
  virtual void written() {}
  // Makes the written bytes durable and stores them as `sha256` of the
  // account. 0 or an errno value.
  virtual int place(const std::string& sha256) = 0;
};

class ContentStore {
 public:
  virtual ~ContentStore() = default;
  // Starts a new content of the account. Throws ServiceError.
  virtual std::unique_ptr<ContentWriter> begin(std::int64_t user_id) = 0;
  // The content, open for reading; an invalid fd (errno set) when missing.
  virtual UniqueFd open(std::int64_t user_id, const std::string& sha256) = 0;
  // Bytes that new contents may still take; INT64_MAX when unknown.
  virtual std::int64_t free_bytes() = 0;
  // Places several contents written through this store's writers, each as
  // its place() would, at less cost: the store may make their bytes
  // durable together before it puts them in place. Returns how many, from
  // the front, are in place, and sets `*err` to 0 when all are, else to
  // the errno value that stopped it (those in place may not be durable
  // then: nothing may refer to them).
  struct Placement {
    ContentWriter* writer;
    std::string sha256;
  };
  virtual std::size_t place_all(const std::vector<Placement>& batch, int* err) {
    *err = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if ((*err = batch[i].writer->place(batch[i].sha256)) != 0) return i;
    }
    return batch.size();
  }
  // Deletes the content; 0 when it is gone (also when it was missing).
  virtual int remove(std::int64_t user_id, const std::string& sha256) = 0;
  // Calls `visit` for every stored content (for the sweep of contents that
  // a crash left without a row) and drops unfinished writes. Only while
  // nothing else uses the store.
  virtual void sweep(const std::function<void(std::int64_t, const std::string&)>& visit) = 0;
};

#endif  // BREVANTO_SERVICE_STORE_CONTENT_STORE_H_
