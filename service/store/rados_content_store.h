// Contents as objects of a RADOS pool, shared by services on many hosts.
//
// A content is a head object "u<user id>/<SHA-256>", holding no bytes but
// an attribute "<size> <version>", and its bytes in pieces of at most
// `piece_bytes` (64 MiB; an OSD refuses objects past 128 MiB by default),
// "u<user id>/<SHA-256>.<version>.<n>", where the version is 16 random hex
// digits of the write. A writer writes its own pieces, then makes the head
// only if it is missing (an exclusive create with the attribute, one
// atomic step): the content appears whole or not at all, and is never
// written over. Two writers of one content (two hosts, or two uploads)
// need not write the same bytes (an encrypting store over this one seals
// each write differently): the first head made wins, the other writer
// deletes its pieces and succeeds too. A content found stored is not
// written again. Each write returns once the OSDs have it on disk, so a
// content is durable when place() returns. RADOS has no rename, hence the
// head instead of a temporary name.
//
// Pieces no head names (a write that stopped half-way, or one that lost)
// are dropped by sweep() once they are old enough.
//
// The writer takes the bytes in an unlinked local file (the interface
// hands out an fd) and sends them at place(); open() fetches the whole
// content into an unlinked local file before its first byte is read. Both
// need local room for the content (see service/README.md).
//
// Every request to the cluster fails after the target's timeout (ETIMEDOUT)
// rather than waiting for an OSD or monitor that is gone. A request that
// timed out is sent once more after the client fetched the cluster's
// newest OSD map: after a killed OSD came back, the client that had timed
// out did not ask for the map that says where it is now, and a download
// right after the outage timed out too. So a request fails after at most
// twice the timeout, plus a monitor request.
#ifndef BREVANTO_SERVICE_STORE_RADOS_CONTENT_STORE_H_
#define BREVANTO_SERVICE_STORE_RADOS_CONTENT_STORE_H_

#include <rados/librados.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "service/store/content_store.h"
#include "service/store/rados_target.h"

class RadosContentStore : public ContentStore {
 public:
  static constexpr std::uint64_t kPieceBytes = 64ull << 20;

  // Connects to the cluster of `target` and opens its pool; the local
  // files go to the folder `temp_dir_fd` (its own, left open). Throws
  // ServiceError(kInternal) saying what failed.
  RadosContentStore(const RadosTarget& target, int temp_dir_fd,
                    std::uint64_t piece_bytes = kPieceBytes);
  ~RadosContentStore() override;
  RadosContentStore(const RadosContentStore&) = delete;
  RadosContentStore& operator=(const RadosContentStore&) = delete;

  std::unique_ptr<ContentWriter> begin(std::int64_t user_id) override;
  UniqueFd open(std::int64_t user_id, const std::string& sha256) override;
  // The pool's available bytes as the cluster reckons them (its replicas
  // and full ratio counted), asked again at most every few seconds.
  std::int64_t free_bytes() override;
  int remove(std::int64_t user_id, const std::string& sha256) override;
  // Visits contents whose head is older than `min_age` (an hour by
  // default) and deletes pieces older than that which no head names:
  // younger ones may belong to an upload of another host whose head or
  // catalog row is not yet in.
  void sweep(const std::function<void(std::int64_t, const std::string&)>& visit) override;
  void set_sweep_min_age(std::chrono::seconds age) { sweep_min_age_ = age; }

  // Writes the content in `fd` (all of it, from offset 0) as `sha256` of
  // the account. 0 or an errno value.
  int put(std::int64_t user_id, const std::string& sha256, int fd);

 private:
  // An unlinked file in the temp folder. Invalid with errno set on failure.
  UniqueFd temp_file() const;
  // Runs `request` (a librados call, idempotent), once more after a
  // timeout with the newest OSD map.
  template <typename Request>
  int retried(const Request& request) {
    const int ret = request();
    if (ret != -ETIMEDOUT || rados_wait_for_latest_osdmap(cluster_) < 0) return ret;
    return request();
  }
  int write_piece(const std::string& name, int fd, std::uint64_t offset, std::uint64_t size);
  struct StoredContent {
    std::uint64_t size = 0;
    std::string version;
    std::uint64_t pieces = 0;
  };
  // What the head `head` names: 0 or an errno (ENOENT when missing).
  int stored_content(const std::string& head, StoredContent* stored);
  int remove_pieces(std::int64_t user_id, const std::string& sha256, const std::string& version,
                    std::uint64_t pieces);

  rados_t cluster_ = nullptr;
  rados_ioctx_t io_ = nullptr;
  std::string pool_;
  int temp_dir_fd_;
  std::uint64_t piece_bytes_;
  std::chrono::seconds sweep_min_age_{3600};
  std::mutex free_mu_;
  std::chrono::steady_clock::time_point free_asked_;
  std::int64_t free_ = INT64_MAX;
};

// The head object of a content, and piece `piece` of its write `version`.
std::string rados_object_name(std::int64_t user_id, const std::string& sha256);
std::string rados_piece_name(std::int64_t user_id, const std::string& sha256,
                             const std::string& version, std::uint64_t piece);

#endif  // BREVANTO_SERVICE_STORE_RADOS_CONTENT_STORE_H_
