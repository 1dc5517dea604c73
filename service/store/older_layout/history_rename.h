// The name that a tree's own top folder ".history" takes when the older
// layout moves into the store, where "\.history" is the store's. The name
// is one the tree does not use: ".history.old", else ".history.old-2",
// ".history.old-3", ..., so no folder of the user is merged into another.
// Each choice is recorded in ROOT/data/history-renames (one line per tree,
// "u<id>/<project folder> <name>", synced) before anything of the tree is
// stored, so a migration cut short and started again keeps to the name it
// chose and recognises what it stored under it.
#ifndef BREVANTO_SERVICE_STORE_OLDER_LAYOUT_HISTORY_RENAME_H_
#define BREVANTO_SERVICE_STORE_OLDER_LAYOUT_HISTORY_RENAME_H_

#include <map>
#include <string>

class HistoryRenames {
 public:
  // Reads the record of `data_fd` (the older layout's data folder), if there
  // is one. Throws ServiceError.
  explicit HistoryRenames(int data_fd);

  // The name under which the ".history" of the tree in `tree_fd` is stored:
  // the recorded one, or a free one, recorded durably before it is
  // returned. Empty when the tree has no ".history". `tree_key` is
  // "u<id>/<project folder>". Throws ServiceError.
  std::string name_for(const std::string& tree_key, int tree_fd);

 private:
  void record();

  int data_fd_;
  std::map<std::string, std::string> names_;
};

#endif  // BREVANTO_SERVICE_STORE_OLDER_LAYOUT_HISTORY_RENAME_H_
