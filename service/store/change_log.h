// The changes a catalog has applied but not yet committed, each appended
// to a file before it is answered.
//
// The SQLite catalog keeps one transaction open across many batches of
// changes and commits it about once a second (or when it grows large):
// a commit writes every page it touched to the catalog's log, so committing
// each small upload on its own wrote some 30 KB a file. A success reply
// must still survive a crash of the service, so each batch's changes are
// appended here (one write, no sync: the kernel keeps what a crashed
// process wrote) before their replies go out. At start-up, and when SQLite
// gives up a transaction by itself, the changes here that the catalog does
// not hold are applied again, in order, with their own numbers and times:
// applying a change is deterministic given the rows before it.
//
// The file is a sequence of records: the payload's length (4 bytes), its
// FNV-1a 64 checksum (8 bytes), the payload. Integers are little-endian;
// strings are a 4-byte length and the bytes. A record torn by a power cut
// (the file is not synced: a power cut keeps what the last sync() made
// durable) ends the reading.
#ifndef BREVANTO_SERVICE_STORE_CHANGE_LOG_H_
#define BREVANTO_SERVICE_STORE_CHANGE_LOG_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/store/file_catalog.h"
#include "service/unique_fd.h"

struct LoggedChange {
  std::int64_t seq = 0;  // the change's number
  std::int64_t now = 0;  // its time (FILETIME)
  Change change;         // without its quota: it was within it
};

class ChangeLog {
 public:
  // Opens `file`, creating it (0600) unless `read_only`; a missing file
  // read-only holds no changes. Throws ServiceError(kInternal) when it
  // cannot be opened.
  ChangeLog(const std::string& file, bool read_only);

  // Adds a change to the batch that append() writes.
  void add(const Change& change, std::int64_t seq, std::int64_t now);
  // Writes the batch added since the last append() in one write and clears
  // it. On failure nothing of it stays in the file and ServiceError
  // (kDiskFull or kInternal) is thrown.
  void append();
  // Drops the batch added since the last append() unwritten.
  void discard() { batch_.clear(); }

  // Every whole record, in order.
  std::vector<LoggedChange> read_all() const;
  // Empties the file, once the catalog has committed what it holds.
  void clear();
  std::uint64_t size() const { return size_; }

  // One record's payload and back (exposed for tests).
  static void encode(const LoggedChange& logged, std::string& out);
  static bool decode(std::string_view payload, LoggedChange& logged);

 private:
  UniqueFd fd_;
  std::uint64_t size_ = 0;
  std::string batch_;
};

#endif  // BREVANTO_SERVICE_STORE_CHANGE_LOG_H_
