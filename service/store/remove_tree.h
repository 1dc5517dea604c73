// Removal of a file or a whole directory below a directory descriptor,
// without ever following a symbolic link (a link is removed itself).
#ifndef BREVANTO_SERVICE_STORE_REMOVE_TREE_H_
#define BREVANTO_SERVICE_STORE_REMOVE_TREE_H_

#include <string>

// Deepest directory nesting that a removal or a listing descends into.
constexpr int kMaxTreeDepth = 128;

// Removes `name` in `dir_fd` and, for a directory, everything below it.
// 0 or an errno value (ELOOP when the tree is nested too deeply).
int remove_entry(int dir_fd, const std::string& name);

#endif  // BREVANTO_SERVICE_STORE_REMOVE_TREE_H_
