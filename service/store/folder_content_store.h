// Contents as files in one folder: <folder>/u<user id>/<first two hex
// digits>/<SHA-256>, written in <folder>/tmp and renamed into place after
// an fsync, the name's folder synced after the rename (or, for a batch,
// every file synced, then every rename, then every folder).
#ifndef BREVANTO_SERVICE_STORE_FOLDER_CONTENT_STORE_H_
#define BREVANTO_SERVICE_STORE_FOLDER_CONTENT_STORE_H_

#include "service/store/content_store.h"

class FolderContentStore : public ContentStore {
 public:
  // Opens (making it when missing, unless `read_only`) the folder `name`
  // below `parent_fd`, which is the folder `parent_path`. Throws
  // ServiceError. A read-only store only opens and reads contents.
  FolderContentStore(int parent_fd, const std::string& name, const std::string& parent_path,
                     bool read_only = false);

  std::unique_ptr<ContentWriter> begin(std::int64_t user_id) override;
  UniqueFd open(std::int64_t user_id, const std::string& sha256) override;
  std::int64_t free_bytes() override;
  // Written back together, then waited for, then renamed: one journal
  // commit for the batch rather than two a content.
  std::size_t place_all(const std::vector<Placement>& batch, int* err) override;
  int remove(std::int64_t user_id, const std::string& sha256) override;
  void sweep(const std::function<void(std::int64_t, const std::string&)>& visit) override;

  // The folder that is to hold `sha256` of the account, made when `create`.
  // Invalid (errno set) when missing or it cannot be made.
  UniqueFd folder_of(std::int64_t user_id, const std::string& sha256, bool create);
  int temp_fd() const { return temp_.get(); }

  // The folder held open must still be the one at its path: a folder
  // moved out of the storage root (and something else put in its place)
  // is not written to. Throws ServiceError(kInternal).
  void check_in_place() const;

 private:
  std::string path_;
  UniqueFd root_;
  UniqueFd temp_;
};

#endif  // BREVANTO_SERVICE_STORE_FOLDER_CONTENT_STORE_H_
