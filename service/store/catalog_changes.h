// How a change is applied to a catalog's rows, the same for every catalog:
// the folders on its way made, an upload refused where the path exists and
// an update or remove where it does not, a replaced or removed row moved to
// the history (a folder with every row below it), a stored path counting
// its versions on after a remove, and the new row's content referenced.
//
// Each catalog supplies the row operations on its own database; they run
// in the transaction of the change's batch and throw what the database
// throws.
#ifndef BREVANTO_SERVICE_STORE_CATALOG_CHANGES_H_
#define BREVANTO_SERVICE_STORE_CATALOG_CHANGES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "service/store/file_catalog.h"

class CatalogChanges {
 public:
  virtual ~CatalogChanges() = default;

  // Applies `change` as change number `seq` at `now` (FILETIME). Throws
  // ServiceError when the store's rules refuse it.
  void apply_change(const Change& change, std::int64_t seq, std::int64_t now);

 protected:
  // With `on`, the folders a change found or made are remembered, so that
  // the next changes below them look none of them up again: for a catalog
  // that no one else changes. They are forgotten whenever a folder may have
  // gone: at a removal, at a change that failed, and by forget_folders(),
  // which the catalog calls whenever it takes a transaction back.
  void remember_folders(bool on) { remember_folders_ = on; }
  void forget_folders() { known_folders_.clear(); }

  // The current row of parent+name, as `view` sees it.
  virtual std::optional<Entry> find_locked(const TreeId& tree, const std::string& parent,
                                           const std::string& name, const View& view) = 0;
  // The highest version number parent+name reached before it was removed;
  // 0 when it never was stored.
  virtual std::int64_t last_reversion(const TreeId& tree, const std::string& parent,
                                      const std::string& name) = 0;
  virtual void insert_entry(const TreeId& tree, const Entry& entry, std::int64_t seq) = 0;
  // Moves the current row of parent+name to the history, ended at seq.
  virtual void retire(const TreeId& tree, const std::string& parent, const std::string& name,
                      std::int64_t seq) = 0;
  // The same for every current row below the folder `dir` ("\a\").
  virtual void retire_below(const TreeId& tree, const std::string& dir, std::int64_t seq) = 0;
  virtual void add_reference(std::int64_t user_id, const NewContent& content) = 0;

 private:
  // Makes the folders of path[0, count) that are missing.
  void make_folders(const TreeId& tree, const std::vector<std::string>& path, std::size_t count,
                    std::int64_t seq, std::int64_t now);
  void apply_checked(const Change& change, std::int64_t seq, std::int64_t now);

  bool remember_folders_ = false;
  // The account, project, parent and name of each folder known current.
  std::unordered_set<std::string> known_folders_;
};

#endif  // BREVANTO_SERVICE_STORE_CATALOG_CHANGES_H_
